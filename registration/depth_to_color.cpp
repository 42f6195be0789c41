// The facade: every method forwards to the engine of the same name.
#include "depth_to_color.h"

#include "depth_to_color_impl.h"

namespace {
// Returned by GetVersion when there is no engine.
constexpr char INVALID_VERSION[8] = "Unknown";
}  // namespace

DepthToColor::DepthToColor() : pImpl(new DepthToColorImpl()) {}

DepthToColor::~DepthToColor() {
  delete pImpl;
  pImpl = nullptr;
}

const char* DepthToColor::GetVersion() { return pImpl ? pImpl->GetVersion() : INVALID_VERSION; }

bool DepthToColor::LoadParameters(const char* param_ini) {
  return pImpl && pImpl->LoadParameters(param_ini);
}

bool DepthToColor::LoadParameters(const SW_QUILM* quilm) {
  return pImpl && pImpl->LoadParameters(quilm);
}

bool DepthToColor::PrepareDepthResolution(int width, int height) {
  return pImpl && pImpl->PrepareDepthResolution(width, height);
}

bool DepthToColor::DiscardDepthResolution(int width, int height) {
  return pImpl && pImpl->DiscardDepthResolution(width, height);
}

bool DepthToColor::EnableDistortion(bool flag) { return pImpl && pImpl->EnableDistortion(flag); }

bool DepthToColor::EnableDepthGapFill(bool flag) {
  return pImpl && pImpl->EnableDepthGapFill(flag);
}

bool DepthToColor::SetDepthUnit(float unit_mm) { return pImpl && pImpl->SetDepthUnit(unit_mm); }

bool DepthToColor::GetDepthUnit(float& unit) { return pImpl && pImpl->GetDepthUnit(unit); }

bool DepthToColor::SetDepthRange(float min_value, float max_value) {
  return pImpl && pImpl->SetDepthRange(min_value, max_value);
}

bool DepthToColor::GetDepthRange(float& min_value, float& max_value) {
  return pImpl && pImpl->GetDepthRange(min_value, max_value);
}

int DepthToColor::QUILM(const std::uint16_t* depth_buffer, int depth_width, int depth_height,
                        std::uint16_t* out_depth, int color_width, int color_height) const {
  if (!pImpl) return 0;
  return pImpl->QUILM(depth_buffer, depth_width, depth_height, out_depth, color_width,
                      color_height);
}
