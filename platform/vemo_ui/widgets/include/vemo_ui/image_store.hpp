#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "vemo_ui/painter.hpp"

namespace vemo_ui {

class ImageCanvas;

// Decoded pictures by reference, for drawing. "vemo-blob://<64 hex>" names bytes in the
// process-wide blob store; they are read and decoded on a worker thread and picked up by the
// next get on the UI thread, so drawing never waits. Other schemes can be registered as
// built-in pictures drawn on the UI thread. Use one store from the UI thread only.
class ImageStore {
  public:
    struct Pending {};
    struct Failed {
        std::string reason;
    };
    using Lookup = std::variant<ImageRef, Pending, Failed>;
    // Draws the picture `name` (the reference after its scheme prefix) into a canvas of the
    // registered size; false when there is no such picture.
    using BuiltinPainter = std::function<bool(std::string_view name, ImageCanvas& canvas)>;

    static constexpr char const* blob_scheme = "vemo-blob://";
    static constexpr size_t default_max_entries = 256;
    static constexpr uint64_t default_max_bytes = uint64_t(192) << 20;

    static std::unique_ptr<ImageStore> create(size_t max_entries = default_max_entries,
                                              uint64_t max_bytes = default_max_bytes);
    virtual ~ImageStore() = default;

    virtual Lookup get(std::string_view reference) = 0;
    // Nothing queued or being decoded.
    virtual bool is_idle() const = 0;
    // Waits for the worker to finish everything queued (screenshots and tests only).
    virtual void block_until_idle() = 0;
    virtual void register_builtin(std::string prefix, int width, int height,
                                  BuiltinPainter painter) = 0;
    virtual size_t cached_entries() const = 0;
};

}  // namespace vemo_ui
