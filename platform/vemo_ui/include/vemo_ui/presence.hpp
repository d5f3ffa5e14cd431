#pragma once

#include <map>
#include <optional>
#include <string>

#include "vemo_ui/color.hpp"

namespace vemo_ui {

// Who is here: the local user's identity as the framework knows it and the colours it gives
// the people it has seen.
class PresenceCtx {
public:
    std::optional<std::string> const& self_id() const { return m_self_id; }
    std::optional<std::string> const& self_name() const { return m_self_name; }
    std::optional<Color> color_for(std::string const& person_id) const;

    void set_self(std::optional<std::string> id, std::optional<std::string> name)
    {
        m_self_id = std::move(id);
        m_self_name = std::move(name);
    }
    void set_color(std::string person_id, Color c) { m_colors[std::move(person_id)] = c; }

private:
    std::optional<std::string> m_self_id;
    std::optional<std::string> m_self_name;
    std::map<std::string, Color> m_colors;
};

}  // namespace vemo_ui
