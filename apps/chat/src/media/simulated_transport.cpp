#include "media/simulated_transport.hpp"

namespace chat::media {

bool SimulatedTransport::send_frame(MediaFrame frame) {
    if (!is_valid(frame) || m_loopback.size() >= frame_queue_capacity) return false;
    m_loopback.push_back(std::move(frame));
    return true;
}

std::vector<MediaFrame> SimulatedTransport::drain_frames() {
    std::vector<MediaFrame> out;
    while (!m_loopback.empty() && out.size() < drain_limit) {
        out.push_back(std::move(m_loopback.front()));
        m_loopback.pop_front();
    }
    return out;
}

}  // namespace chat::media
