// The live apply's two messages. They exist in Japanese only and are shown
// through MessageBoxA, so they are code page 932 byte strings.
#pragma once

namespace vkprop
{

// "The port cannot be opened. The settings take effect after reconnection."
extern const char kPortOpenFailedMessage[53];
// "Applying the settings failed. The settings take effect after reconnection."
extern const char kReloadFailedMessage[59];

} // namespace vkprop
