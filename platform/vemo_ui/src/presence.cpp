#include "vemo_ui/presence.hpp"

namespace vemo_ui {

std::optional<Color> PresenceCtx::color_for(std::string const& person_id) const
{
    auto it = m_colors.find(person_id);
    if (it == m_colors.end()) return std::nullopt;
    return it->second;
}

}  // namespace vemo_ui
