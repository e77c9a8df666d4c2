#pragma once

// What the window tests share: the windows' titles and where screenshots go.

#include <string>

inline const std::string kMainTitle = "Kestro B34 0 2d";
inline const std::string kSettingsTitle = "Comunicación Puerto";

inline std::string ScreenshotPath(const std::string& name) {
  return std::string(RXFLASH_SCREENSHOT_DIR) + "/" + name;
}
