#pragma once

#include "vemo_actions/action_address.hpp"
#include "vemo_actions/action_args.hpp"
#include "vemo_actions/action_context.hpp"
#include "vemo_actions/encoded_action.hpp"
#include "vemo_actions/executor.hpp"
#include "vemo_actions/registry.hpp"
#include "vemo_actions/resource.hpp"
#include "vemo_actions/typed_action.hpp"
