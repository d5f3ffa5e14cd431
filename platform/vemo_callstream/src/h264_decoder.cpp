#include "vemo_callstream/h264_decoder.hpp"

#include <wels/codec_api.h>

#include <cstring>

namespace vemo_callstream::decoder {

namespace {

ISVCDecoder* make_decoder() {
    ISVCDecoder* raw = nullptr;
    if (WelsCreateDecoder(&raw) != 0 || !raw) return nullptr;
    int quiet = WELS_LOG_QUIET;
    raw->SetOption(DECODER_OPTION_TRACE_LEVEL, &quiet);
    SDecodingParam param{};
    param.sVideoProperty.size = sizeof(param.sVideoProperty);
    param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
    // Concealment would show grey guesses to a late joiner; better no picture than a wrong one.
    param.eEcActiveIdc = ERROR_CON_DISABLE;
    if (raw->Initialize(&param) != cmResultSuccess) {
        WelsDestroyDecoder(raw);
        return nullptr;
    }
    return raw;
}

Picture copy_out(SBufferInfo const& info) {
    SSysMEMBuffer const& buffer = info.UsrData.sSystemBuffer;
    Picture p = Picture::blank(buffer.iWidth, buffer.iHeight);
    auto copy_plane = [](uint8_t* dst, int dst_stride, uint8_t const* src, int src_stride,
                         int rows) {
        for (int r = 0; r < rows; ++r)
            std::memcpy(dst + size_t(r) * dst_stride, src + size_t(r) * src_stride, dst_stride);
    };
    copy_plane(p.y(), p.width, info.pDst[0], buffer.iStride[0], p.height);
    copy_plane(p.u(), p.chroma_width(), info.pDst[1], buffer.iStride[1], p.chroma_height());
    copy_plane(p.v(), p.chroma_width(), info.pDst[2], buffer.iStride[1], p.chroma_height());
    return p;
}

bool usable(SBufferInfo const& info) {
    SSysMEMBuffer const& b = info.UsrData.sSystemBuffer;
    return info.iBufferStatus == 1 && info.pDst[0] && info.pDst[1] && info.pDst[2] &&
           b.iWidth > 0 && b.iHeight > 0 && b.iWidth <= max_picture_side &&
           b.iHeight <= max_picture_side && b.iStride[0] >= b.iWidth &&
           b.iStride[1] >= (b.iWidth + 1) / 2;
}

}  // namespace

void H264Decoder::Release::operator()(ISVCDecoder* decoder) const {
    if (!decoder) return;
    decoder->Uninitialize();
    WelsDestroyDecoder(decoder);
}

H264Decoder::H264Decoder() : m_decoder(make_decoder()) {}
H264Decoder::H264Decoder(H264Decoder&&) noexcept = default;
H264Decoder& H264Decoder::operator=(H264Decoder&&) noexcept = default;
H264Decoder::~H264Decoder() = default;

bool contains_idr(std::span<uint8_t const> unit) {
    constexpr uint8_t idr_slice = 5;
    for (size_t i = 0; i + 3 < unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1 &&
            (unit[i + 3] & 0x1f) == idr_slice)
            return true;
    }
    return false;
}

std::expected<std::optional<Picture>, CodecError> H264Decoder::decode(
    std::span<uint8_t const> access_unit) {
    bool key = contains_idr(access_unit);
    if (key && m_damaged) {
        m_decoder.reset(make_decoder());
        m_damaged = false;
    }
    auto result = decode_once(access_unit);
    if (key && result && !*result) {
        // A clean key frame always yields its picture; a codec that says otherwise is stuck.
        m_decoder.reset(make_decoder());
        result = decode_once(access_unit);
    }
    if (!result) m_damaged = true;
    return result;
}

std::expected<std::optional<Picture>, CodecError> H264Decoder::decode_once(
    std::span<uint8_t const> access_unit) {
    if (!m_decoder) return std::unexpected(CodecError{"the H.264 decoder could not be created"});
    if (access_unit.empty()) return std::unexpected(CodecError{"empty access unit"});
    if (access_unit.size() > size_t(INT32_MAX))
        return std::unexpected(CodecError{"access unit too large"});

    uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    SBufferInfo info{};
    DECODING_STATE state =
        m_decoder->DecodeFrameNoDelay(access_unit.data(), int(access_unit.size()), planes, &info);
    if (usable(info)) return copy_out(info);
    if (state != dsErrorFree)
        return std::unexpected(CodecError{"undecodable access unit (OpenH264 state " +
                                          std::to_string(int(state)) + ")"});
    return std::optional<Picture>{};
}

}  // namespace vemo_callstream::decoder
