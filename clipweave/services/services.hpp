// Clients of the two remote media services.
#pragma once

#include "../common/pyref.hpp"

namespace clipweave::services {

// Body of _download_video: a download job at the download service, then wget.
void download_video(py::Handle url, py::Handle output_file);

// Body of _generate_tts: one request to the speech service, one write.
void generate_tts(py::Handle text, py::Handle output_file, py::Handle voice);

// {"accept": "*/*", *own, "origin": origin, "referer": origin + referer_path,
// "user-agent": user_agent}, in that order.
py::Object request_headers(std::initializer_list<py::Item> own, const char* origin,
                           const char* referer_path, const char* user_agent);

}  // namespace clipweave::services
