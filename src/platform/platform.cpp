#include "platform/platform.h"

namespace {
Platform* current = nullptr;
}  // namespace

Platform& Os() { return current != nullptr ? *current : NativePlatform(); }

Platform* SetPlatform(Platform* platform) {
  Platform* previous = current != nullptr ? current : &NativePlatform();
  current = platform;
  return previous;
}
