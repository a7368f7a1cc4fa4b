// Where the two remote services live. Each origin is an https scheme and
// host, no path, no trailing slash. The defaults (setup.py) are placeholders;
// a build points the module at real, compatible services through the
// environment, e.g.
//   CLIPWEAVE_TTS_ORIGIN=https://tts.example.org pip install .
#pragma once

// setup.py writes the build's origins (or the placeholder defaults) here.
#include "clipweave_origins.h"

namespace clipweave::services {

// The download service's API host, which takes the start request.
constexpr const char kDownloadApiOrigin[] = CLIPWEAVE_DOWNLOAD_API_ORIGIN;
// The download service's front-end site, sent as origin and referer.
constexpr const char kDownloadSiteOrigin[] = CLIPWEAVE_DOWNLOAD_SITE_ORIGIN;
// The speech service's site: request URL, origin and referer derive from it.
constexpr const char kTtsOrigin[] = CLIPWEAVE_TTS_ORIGIN;

}  // namespace clipweave::services
