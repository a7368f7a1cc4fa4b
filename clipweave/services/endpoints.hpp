// Where the two remote services live. Each origin is an https scheme and
// host, no path, no trailing slash. The defaults are placeholders; a build
// points the module at real, compatible services by defining the macro, e.g.
//   CLIPWEAVE_TTS_ORIGIN=https://tts.example.org pip install .
// (setup.py writes these three environment variables into the header
// clipweave_origins.h, which the build depends on).
#pragma once

#if __has_include("clipweave_origins.h")
#include "clipweave_origins.h"
#endif

#ifndef CLIPWEAVE_DOWNLOAD_API_ORIGIN
#define CLIPWEAVE_DOWNLOAD_API_ORIGIN "https://api.video-download.example"
#endif
#ifndef CLIPWEAVE_DOWNLOAD_SITE_ORIGIN
#define CLIPWEAVE_DOWNLOAD_SITE_ORIGIN "https://video-download.example"
#endif
#ifndef CLIPWEAVE_TTS_ORIGIN
#define CLIPWEAVE_TTS_ORIGIN "https://text-to-speech.example"
#endif

namespace clipweave::services {

// The download service's API host, which takes the start request.
constexpr const char kDownloadApiOrigin[] = CLIPWEAVE_DOWNLOAD_API_ORIGIN;
// The download service's front-end site, sent as origin and referer.
constexpr const char kDownloadSiteOrigin[] = CLIPWEAVE_DOWNLOAD_SITE_ORIGIN;
// The speech service's site: request URL, origin and referer derive from it.
constexpr const char kTtsOrigin[] = CLIPWEAVE_TTS_ORIGIN;

}  // namespace clipweave::services
