// Video download client: start a job at the download service, poll it until
// it is finished, then fetch the file with wget.
#include <string>

#include "../process.hpp"
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
    return request_headers({{"accept-language", "en-US,en;q=0.6"}, {"cache-control", "no-cache"}},
                           kDownloadSiteOrigin, "/", kUserAgent);
}

py::Object http_get(py::Handle url, py::Handle headers, long long timeout) {
    const Names& n = names();
    return global(n.requests).attr(n.get)({url}, {{n.headers, headers}, {n.timeout, timeout}});
}

// mapping.get(key[, default])
py::Object get(py::Handle mapping, py::Handle key) { return mapping.attr(names().get)({key}); }
py::Object get(py::Handle mapping, py::Handle key, long long fallback) {
    return mapping.attr(names().get)({key, fallback});
}

void print_progress(py::Handle prog) {
    py::Object progress = get(prog, names().progress, 0);
    py::Object ten = py::integer(10);
    py::Object pct = py::Object::steal(PyNumber_TrueDivide(progress.ptr(), ten.ptr()));
    const Names& n = names();
    print(py::concat({"\r  ", py::format(pct, ".0f"), "%"}), {{n.end, ""}, {n.flush, true}});
}

bool job_finished(py::Handle prog) {
    const Names& n = names();
    if (!get(prog, n.success).truthy()) return false;
    py::Object done = py::integer(kDoneProgress);
    return py::compare(get(prog, n.progress, 0), done, Py_GE);
}

// wget would read a leading "-" as one of its own options.
void refuse_option_like(py::Handle download_url) {
    if (!PyUnicode_Check(download_url.ptr())) return;
    if (PyUnicode_GET_LENGTH(download_url.ptr()) == 0 ||
        PyUnicode_READ_CHAR(download_url.ptr(), 0) != '-')
        return;
    py::Object shown = py::Object::steal(PyObject_Repr(download_url.ptr()));
    py::raise(PyExc_Exception,
              py::concat({"Download API error: download_url must not begin with '-': ", shown}));
}

}  // namespace

void download_video(py::Handle url, py::Handle output_file) {
    const Names& n = names();
    print("📥 Requesting download from server...");
    py::Object headers = make_headers();
    py::Object encoded_url = global(n.quote)({url}, {{n.safe, ""}});
    const std::string api_prefix = std::string(kDownloadApiOrigin) + "/ajax/download.php?format=1080&url=";
    py::Object api_url = py::concat({api_prefix.c_str(), encoded_url});

    py::Object resp = http_get(api_url, headers, kStartTimeout);
    resp.attr(n.raise_for_status)();
    py::Object data = resp.attr(n.json)();
    if (!get(data, n.success).truthy())
        py::raise(PyExc_Exception, py::concat({"Download API error: ", py::format(data)}));
    py::Object job_id = data[n.id];
    py::Object progress_url = data[n.progress_url];
    print(py::concat({"⏳ Processing job ", py::format(job_id), "..."}));

    py::Object download_url;
    for (int attempt = 0; attempt < kMaxPolls && !download_url; ++attempt) {
        global(n.time).attr(n.sleep)({kPollWaitSeconds});
        py::Object prog = http_get(progress_url, headers, kProgressTimeout).attr(n.json)();
        print_progress(prog);
        if (job_finished(prog)) download_url = prog[n.download_url];
    }
    if (!download_url) py::raise(PyExc_Exception, "Download timed out after 3 minutes");

    print("\n⬇️  Downloading video...");
    refuse_option_like(download_url);
    py::Object user_agent = py::str("user-agent");
    run_checked(py::list({"wget", "-q", "-O", output_file, "--user-agent", headers[user_agent],
                          download_url}));
    print(py::concat({"✅ Download complete: ", output_file}));
}

}  // namespace clipweave::services
