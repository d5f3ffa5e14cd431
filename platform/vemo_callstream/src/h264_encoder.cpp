#include "vemo_callstream/h264_encoder.hpp"

#include <wels/codec_api.h>

#include <algorithm>
#include <cmath>

namespace vemo_callstream::encoder {

namespace {

int scaled_bitrate(int width, int height, int fps, double bits_per_pixel_frame) {
    double bps = bits_per_pixel_frame * width * height * std::max(fps, 1);
    return int(std::clamp(bps, 100'000.0, 20'000'000.0));
}

// 1 Mbit/s at 640x480x30.
constexpr double camera_bits = 1'000'000.0 / (640 * 480 * 30);
// Screens: 2.5 Mbit/s at 1280x960x30, spent mostly on sharp text.
constexpr double screen_bits = 2'500'000.0 / (1280 * 960 * 30);

std::string error_text(char const* what, int code) {
    return std::string(what) + " failed (OpenH264 " + std::to_string(code) + ")";
}

}  // namespace

EncoderSettings EncoderSettings::camera(int width, int height, int fps) {
    EncoderSettings s;
    s.content = Content::Camera;
    s.bitrate_bps = scaled_bitrate(width, height, fps, camera_bits);
    s.key_interval_frames = 2 * std::max(fps, 1);
    return s;
}

EncoderSettings EncoderSettings::screen(int width, int height, int fps) {
    EncoderSettings s;
    s.content = Content::Screen;
    s.bitrate_bps = scaled_bitrate(width, height, fps, screen_bits);
    s.max_qp = 36;
    s.key_interval_frames = 0;  // the stream sender places key frames by time
    return s;
}

void H264Encoder::Release::operator()(ISVCEncoder* encoder) const {
    if (!encoder) return;
    encoder->Uninitialize();
    WelsDestroySVCEncoder(encoder);
}

H264Encoder::H264Encoder(std::unique_ptr<ISVCEncoder, Release> encoder, int width, int height,
                         int fps, EncoderSettings settings)
    : m_encoder(std::move(encoder)),
      m_width(width),
      m_height(height),
      m_fps(fps),
      m_settings(settings) {}

H264Encoder::H264Encoder(H264Encoder&&) noexcept = default;
H264Encoder& H264Encoder::operator=(H264Encoder&&) noexcept = default;
H264Encoder::~H264Encoder() = default;

std::expected<H264Encoder, CodecError> H264Encoder::create(int width, int height, int fps) {
    return create(width, height, fps, EncoderSettings::camera(width, height, fps));
}

std::expected<H264Encoder, CodecError> H264Encoder::create(int width, int height, int fps,
                                                           EncoderSettings const& settings) {
    if (!valid_picture_size(width, height))
        return std::unexpected(CodecError{"unsupported picture size " + std::to_string(width) +
                                          "x" + std::to_string(height)});
    if (fps < 1 || fps > 120)
        return std::unexpected(CodecError{"unsupported frame rate " + std::to_string(fps)});

    ISVCEncoder* raw = nullptr;
    if (int rc = WelsCreateSVCEncoder(&raw); rc != 0 || !raw)
        return std::unexpected(CodecError{error_text("creating the encoder", rc)});
    std::unique_ptr<ISVCEncoder, Release> encoder(raw);

    int quiet = WELS_LOG_QUIET;
    encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);

    SEncParamExt p;
    encoder->GetDefaultParams(&p);
    p.iUsageType =
        settings.content == Content::Screen ? SCREEN_CONTENT_REAL_TIME : CAMERA_VIDEO_REAL_TIME;
    p.iPicWidth = width;
    p.iPicHeight = height;
    p.iTargetBitrate = settings.bitrate_bps;
    p.iMaxBitrate = UNSPECIFIED_BIT_RATE;
    p.iRCMode = RC_BITRATE_MODE;
    p.fMaxFrameRate = float(fps);
    p.iTemporalLayerNum = 1;
    p.iSpatialLayerNum = 1;
    p.uiIntraPeriod = unsigned(std::max(settings.key_interval_frames, 0));
    p.iNumRefFrame = 1;
    p.eSpsPpsIdStrategy = CONSTANT_ID;
    p.bEnableFrameSkip = settings.frame_skip;
    p.iEntropyCodingModeFlag = 0;
    p.iMultipleThreadIdc = 1;
    if (settings.min_qp > 0) p.iMinQp = std::clamp(settings.min_qp, 0, 51);
    p.iMaxQp = std::clamp(settings.max_qp, std::max(p.iMinQp, 0), 51);
    p.bEnableDenoise = false;
    p.bEnableBackgroundDetection = true;
    p.bEnableAdaptiveQuant = true;
    p.bEnableSceneChangeDetect = settings.content == Content::Screen;
    SSpatialLayerConfig& layer = p.sSpatialLayers[0];
    layer.iVideoWidth = width;
    layer.iVideoHeight = height;
    layer.fFrameRate = float(fps);
    layer.iSpatialBitrate = settings.bitrate_bps;
    layer.iMaxSpatialBitrate = UNSPECIFIED_BIT_RATE;
    layer.uiProfileIdc = PRO_BASELINE;
    layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
    layer.sSliceArgument.uiSliceNum = 1;

    if (int rc = encoder->InitializeExt(&p); rc != cmResultSuccess)
        return std::unexpected(CodecError{error_text("initialising the encoder", rc)});
    int format = videoFormatI420;
    encoder->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
    return H264Encoder(std::move(encoder), width, height, fps, settings);
}

void H264Encoder::force_key_frame() {
    m_key_requested = true;
}

std::expected<std::vector<uint8_t>, CodecError> H264Encoder::encode(std::span<uint8_t const> rgba) {
    auto picture = rgba_to_i420(rgba, m_width, m_height);
    if (!picture) return std::unexpected(CodecError{picture.error()});
    return encode(*picture);
}

std::expected<std::vector<uint8_t>, CodecError> H264Encoder::encode(Picture const& picture) {
    if (!m_encoder) return std::unexpected(CodecError{"the encoder was moved from"});
    if (picture.width != m_width || picture.height != m_height)
        return std::unexpected(CodecError{
            "picture is " + std::to_string(picture.width) + "x" + std::to_string(picture.height) +
            ", expected " + std::to_string(m_width) + "x" + std::to_string(m_height)});
    SSourcePicture src{};
    src.iColorFormat = videoFormatI420;
    src.iPicWidth = m_width;
    src.iPicHeight = m_height;
    src.iStride[0] = m_width;
    src.iStride[1] = src.iStride[2] = picture.chroma_width();
    // OpenH264 reads the source only, whatever its signature says.
    src.pData[0] = const_cast<uint8_t*>(picture.y());
    src.pData[1] = const_cast<uint8_t*>(picture.u());
    src.pData[2] = const_cast<uint8_t*>(picture.v());
    src.uiTimeStamp = m_frames * 1000 / m_fps;
    ++m_frames;

    // A skipped frame would swallow the request, so it is repeated until a key frame is out.
    if (m_key_requested) m_encoder->ForceIntraFrame(true);

    SFrameBSInfo info{};
    if (int rc = m_encoder->EncodeFrame(&src, &info); rc != cmResultSuccess)
        return std::unexpected(CodecError{error_text("encoding", rc)});
    std::vector<uint8_t> out;
    if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid)
        return out;
    out.reserve(size_t(std::max(info.iFrameSizeInBytes, 0)));
    for (int l = 0; l < info.iLayerNum; ++l) {
        SLayerBSInfo const& layer = info.sLayerInfo[l];
        size_t bytes = 0;
        for (int n = 0; n < layer.iNalCount; ++n) bytes += size_t(layer.pNalLengthInByte[n]);
        out.insert(out.end(), layer.pBsBuf, layer.pBsBuf + bytes);
    }
    if (!out.empty()) {
        m_last_was_key = info.eFrameType == videoFrameTypeIDR;
        if (m_last_was_key) m_key_requested = false;
    }
    return out;
}

}  // namespace vemo_callstream::encoder
