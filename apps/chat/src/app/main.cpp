#include "app/entry.hpp"

int main(int argc, char** argv) { chat::run(argc, argv); }
