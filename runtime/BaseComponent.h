// Common base of the conversion component, the log capture, the probe and the player.
#pragma once

namespace qv {

class TFFBaseComponent {
public:
    TFFBaseComponent() = default;
    virtual ~TFFBaseComponent() = default;
    TFFBaseComponent(const TFFBaseComponent&) = delete;
    TFFBaseComponent& operator=(const TFFBaseComponent&) = delete;
};

} // namespace qv
