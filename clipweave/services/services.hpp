// Clients of the two remote media services.
#pragma once

#include "../pyref.hpp"

namespace clipweave::services {

// Body of _download_video: a download job at the download service, then wget.
void download_video(py::Handle url, py::Handle output_file);

// Body of _generate_tts: one request to the speech service, one write.
void generate_tts(py::Handle text, py::Handle output_file, py::Handle voice);

}  // namespace clipweave::services
