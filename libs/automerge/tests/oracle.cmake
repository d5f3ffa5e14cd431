# Sync protocol tests and the compatibility tests against the reference engine under Node.js.
find_package(nlohmann_json REQUIRED)

file(GLOB automerge_sync_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/sync_*.cpp)
vemo_add_test(NAME automerge_sync_tests SOURCES ${automerge_sync_tests}
              LIBS automerge LABELS unit TIMEOUT 120)

file(GLOB automerge_oracle_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/oracle_*.cpp)
if(automerge_oracle_tests)
  vemo_add_test(NAME automerge_oracle_tests SOURCES ${automerge_oracle_tests}
                LIBS automerge nlohmann_json::nlohmann_json LABELS oracle TIMEOUT 600)
endif()
