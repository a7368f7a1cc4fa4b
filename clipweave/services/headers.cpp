// The request headers both clients send, in the order they send them.
#include <string>

#include "services.hpp"

namespace clipweave::services {

py::Object request_headers(std::initializer_list<py::Item> own, const char* origin,
                           const char* referer_path, const char* user_agent) {
    py::Object headers = py::dict({{"accept", "*/*"}});
    for (const py::Item& item : own) py::set_item(headers, item);
    const std::string referer = std::string(origin) + referer_path;
    py::set_item(headers, {"origin", origin});
    py::set_item(headers, {"referer", referer.c_str()});
    py::set_item(headers, {"user-agent", user_agent});
    return headers;
}

}  // namespace clipweave::services
