#pragma once

struct _cairo_surface;

namespace vemo_ui {

// A blurred rounded-rectangle coverage mask, stored at 1/downscale of the device
// resolution. Drawn scaled by downscale, the rectangle starts `padding` device pixels in.
struct ShadowMask {
    _cairo_surface* surface = nullptr;
    int padding = 0;
    int downscale = 1;
};

// The mask for a rectangle of this device size, corner radius and blur radius, from a small
// per-thread cache: a list of similar cards reuses one mask. Null when the size is absurd.
ShadowMask const* shadow_mask_for(double width, double height, double radius, double blur);

}  // namespace vemo_ui
