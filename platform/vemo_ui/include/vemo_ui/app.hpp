#pragma once

#include "vemo_actions/registry.hpp"

namespace vemo_ui::app {

// The running application as the framework holds it: what the application registers at
// start-up lives here.
class App {
public:
    vemo_actions::ActionRegistry& action_registry_mut() { return m_registry; }
    vemo_actions::ActionRegistry const& action_registry() const { return m_registry; }

private:
    vemo_actions::ActionRegistry m_registry;
};

}  // namespace vemo_ui::app
