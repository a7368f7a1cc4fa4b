// Video download client: start a job at the download service, poll it until
// it is finished, then fetch the file with wget.
#include <string>

#include "../runtime.hpp"
#include "endpoints.hpp"
#include "services.hpp"

namespace clipweave::services {
namespace {

constexpr const char kUserAgent[] =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/144.0.0.0 Safari/537.36";
constexpr int kMaxPolls = 60;
constexpr long long kPollWaitSeconds = 3;
constexpr long long kStartTimeout = 30;
constexpr long long kProgressTimeout = 15;
constexpr long long kDoneProgress = 1000;  // tenths of a percent

py::Object make_headers() {
    py::Object headers = py::Object::steal(PyDict_New());
    const std::string origin = kDownloadSiteOrigin;
    const std::pair<const char*, std::string> entries[] = {
        {"accept", "*/*"},
        {"accept-language", "en-US,en;q=0.6"},
        {"cache-control", "no-cache"},
        {"origin", origin},
        {"referer", origin + "/"},
        {"user-agent", kUserAgent},
    };
    for (const auto& [name, value] : entries) {
        py::Object v = py::str(value);
        if (PyDict_SetItemString(headers.ptr(), name, v.ptr()) < 0) py::raise_current();
    }
    return headers;
}

[[noreturn]] void fail(py::Handle message) {
    PyErr_SetObject(PyExc_Exception, message.ptr());
    py::raise_current();
}

py::Object http_get(py::Handle url, py::Handle headers, long long timeout) {
    py::Object seconds = py::integer(timeout);
    return global("requests").attr("get")({url}, {{"headers", headers}, {"timeout", seconds}});
}

bool at_least(py::Handle value, long long bound) {
    py::Object b = py::integer(bound);
    const int r = PyObject_RichCompareBool(value.ptr(), b.ptr(), Py_GE);
    if (r < 0) py::raise_current();
    return r != 0;
}

void print_progress(py::Handle prog) {
    py::Object zero = py::integer(0);
    py::Object ten = py::integer(10);
    py::Object progress = prog.attr("get")({py::str("progress"), zero});
    py::Object pct = py::Object::steal(PyNumber_TrueDivide(progress.ptr(), ten.ptr()));
    py::Object spec = py::str(".0f");
    py::Object figure = py::Object::steal(PyObject_Format(pct.ptr(), spec.ptr()));
    py::Object line = py::join({py::str("\r  "), figure, py::str("%")});
    py::Object empty = py::str("");
    print(line, {{"end", empty}, {"flush", py::boolean(true)}});
}

bool job_finished(py::Handle prog) {
    if (!prog.get("success").truthy()) return false;
    py::Object zero = py::integer(0);
    return at_least(prog.attr("get")({py::str("progress"), zero}), kDoneProgress);
}

// wget would read a leading "-" as one of its own options.
void refuse_option_like(py::Handle download_url) {
    if (!PyUnicode_Check(download_url.ptr())) return;
    if (PyUnicode_GET_LENGTH(download_url.ptr()) == 0 ||
        PyUnicode_READ_CHAR(download_url.ptr(), 0) != '-')
        return;
    py::Object shown = py::Object::steal(PyObject_Repr(download_url.ptr()));
    fail(py::join({py::str("Download API error: download_url must not begin with '-': "), shown}));
}

}  // namespace

void download_video(py::Handle url, py::Handle output_file) {
    print("📥 Requesting download from server...");
    py::Object headers = make_headers();
    py::Object encoded_url = global("quote")({url}, {{"safe", py::str("")}});
    py::Object api_url = py::join(
        {py::str(std::string(kDownloadApiOrigin) + "/ajax/download.php?format=1080&url="),
         encoded_url});

    py::Object resp = http_get(api_url, headers, kStartTimeout);
    resp.attr("raise_for_status")();
    py::Object data = resp.attr("json")();
    if (!data.get("success").truthy()) fail(py::join({py::str("Download API error: "), py::format(data)}));
    py::Object job_id = data["id"];
    py::Object progress_url = data["progress_url"];
    print(py::join({py::str("⏳ Processing job "), py::format(job_id), py::str("...")}));

    py::Object download_url;
    for (int attempt = 0; attempt < kMaxPolls && !download_url; ++attempt) {
        py::Object wait = py::integer(kPollWaitSeconds);
        global("time").attr("sleep")({wait});
        py::Object prog = http_get(progress_url, headers, kProgressTimeout).attr("json")();
        print_progress(prog);
        if (job_finished(prog)) download_url = prog["download_url"];
    }
    if (!download_url) fail(py::str("Download timed out after 3 minutes"));

    print("\n⬇️  Downloading video...");
    refuse_option_like(download_url);
    py::Object argv = py::list({py::str("wget"), py::str("-q"), py::str("-O"), output_file,
                                py::str("--user-agent"), headers["user-agent"], download_url});
    global("subprocess").attr("run")({argv}, {{"check", py::boolean(true)}});
    print(py::join({py::str("✅ Download complete: "), output_file}));
}

}  // namespace clipweave::services
