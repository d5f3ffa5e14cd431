#pragma once

#include <cstdint>

namespace vemo_ui {

enum class AccessLevel : uint8_t { Read, Write, Admin };

// What the local user may do in the open document. Starts permissive; a shared workspace
// can narrow it.
class PermissionContext {
public:
    static PermissionContext permissive() { return PermissionContext(AccessLevel::Admin); }
    static PermissionContext read_only() { return PermissionContext(AccessLevel::Read); }
    explicit PermissionContext(AccessLevel granted) : m_granted(granted) {}

    bool check(AccessLevel wanted) const { return wanted <= m_granted; }
    AccessLevel granted() const { return m_granted; }

private:
    AccessLevel m_granted;
};

}  // namespace vemo_ui
