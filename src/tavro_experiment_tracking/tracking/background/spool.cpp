// Artifacts logged in the background. The call snapshots the files into the
// spool (spool_files.hpp) and returns: what reaches the server is each file
// as it was at the call, whatever the script does with it afterwards. A
// snapshot is uploaded through the tracking library's artifact repository
// for the run (proxied artifacts, a file store, object storage: whatever the
// server's runs use), by the uploader's helper process (uploader.cpp) or by
// `sync`, which uploads what is left (a process killed, a server away, the
// exit's deadline).
#include "parts.hpp"
#include "spool_files.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace background {

namespace {

// Snapshots a process may hold waiting at once (each keeps its manifest
// open, for its lock); attempts a sync makes at each before it gives up.
constexpr size_t MOST_SNAPSHOTS = 256;
constexpr int SYNC_UPLOAD_ATTEMPTS = 4;

std::string spool_folder() {
    return settings().journal_folder + "/artifacts";
}

// A count of bytes as a person reads it: 1,234,567.
py::str counted_bytes(uint64_t bytes) {
    return py::str("{:,}").attr("format")(py::int_(bytes));
}

[[noreturn]] void snapshot_failed(const std::system_error &e, const std::string &file) {
    int error = e.code().value();
    // A file gone (or never a file) is the error the upload would have
    // given at the call: the builtin exception with its file name.
    if (error == ENOENT || error == EISDIR || error == EACCES)
        rt::raise(PyExc_OSError, py::int_(error), py::str(std::strerror(error)), text_of(file));
    rt::raise(PyExc_OSError, py::int_(error),
              rt::text({"Background logging cannot snapshot the artifact ", text_of(file), " (",
                        py::str(std::strerror(error)), " while ", py::str(e.what()),
                        "): nothing of this call was logged; everything logged before is kept. Free some space in ",
                        text_of(spool_folder()), ", or name another folder in TAVRO_JOURNAL_DIR."}));
}

// Waits (the GIL released, signal handlers run between short waits) until
// the spool has room for `bytes`, then reserves it; says once why it waits.
void reserve_room(rt::Call &c, Spool &s, uint64_t bytes) {
    uint64_t limit = settings().artifact_spool_bytes;
    for (;;) {
        bool reserved = false;
        uint64_t held = 0;
        {
            WithoutGil released;
            std::unique_lock<std::mutex> lock(s.mutex);
            reserved = s.room.wait_for(lock, std::chrono::milliseconds(100), [&] {
                return s.bytes + s.reserved + bytes <= limit && s.due.size() < MOST_SNAPSHOTS;
            });
            if (reserved) s.reserved += bytes;
            held = s.bytes + s.reserved;
        }
        if (reserved) return;
        if (!s.said_full) {
            s.said_full = true;
            c.g("logger").attr("warning")(
                rt::text({"The artifact spool is full (", counted_bytes(held), " of ", counted_bytes(limit),
                          " bytes wait for the tracking server): logging an artifact waits for room. A larger spool: ",
                          "TAVRO_ARTIFACT_SPOOL_BYTES or use_async_logging(artifact_spool_bytes=...)."}));
        }
        if (!run_pending_signal_handlers()) throw py::error_already_set();
    }
}

}  // namespace

// ---- the call ---------------------------------------------------------------------

py::object spool_artifacts(rt::Call &c) {
    auto [tracking_uri, run_id, local_path, artifact_path, folder] = c.args<5>();
    if (settings().journal_folder.empty()) return py::bool_(false);  // no journal: uploaded at the call
    py::object os = c.g("os");
    py::object path = os.attr("fspath")(local_path);
    c.g("verify_artifact_path")(artifact_path);
    // The files, each with its path below the snapshot, and what the
    // upload would have raised at the call (a path missing, a folder given
    // for a file and the other way round).
    std::vector<std::pair<std::string, std::string>> sources;
    uint64_t total = 0;
    auto add = [&](py::handle file, py::handle relative) {
        sources.emplace_back(utf8(file), utf8(relative));
        total += os.attr("stat")(file).attr("st_size").cast<uint64_t>();
    };
    if (rt::truthy(folder)) {
        os.attr("scandir")(path).attr("close")();
        py::object join = os.attr("path").attr("join"), relpath = os.attr("path").attr("relpath");
        for (py::handle entry : os.attr("walk")(path)) {
            py::tuple t(rt::own(entry));
            for (py::handle name : t[2]) {
                py::object file = join(t[0], name);
                add(file, relpath(file, path).attr("replace")(os.attr("sep"), "/"));
            }
        }
    } else {
        rt::builtin("open")(path, "rb").attr("close")();
        add(path, os.attr("path").attr("basename")(path));
    }
    std::string uri = utf8(tracking_uri);
    bool offline = is_offline(uri);
    Process &p = process();
    // Larger than the whole spool: uploaded at the call, as without one.
    // Offline, every snapshot stays until `sync`, and none waits for room.
    if (!offline && total > settings().artifact_spool_bytes) return py::bool_(false);
    if (sources.empty()) return py::bool_(true);
    prepare_folder(c, settings().journal_folder);
    prepare_folder(c, spool_folder());
    if (!offline) reserve_room(c, p.spool, total);
    spool::Manifest m;
    m.tracking_uri = uri;
    m.run_id = utf8(run_id);
    m.artifact_path = artifact_path.is_none() ? std::string() : utf8(artifact_path);
    m.pid = getpid();
    Snapshot snap;
    snap.folder = spool_folder() + "/" + own_name(m.run_id);
    std::string partial = snap.folder + spool::PARTIAL, failed_at;
    int manifest = -1;
    bool ok = false;
    std::system_error failure(0, std::generic_category());
    {
        WithoutGil released;
        try {
            failed_at = partial;
            spool::make_folders(partial + "/files");
            for (const auto &[from, relative] : sources) {
                failed_at = from;
                std::string to = partial;
                to.append("/files/").append(relative);
                spool::make_folders(to.substr(0, to.find_last_of('/')));
                m.files.push_back(spool::FileEntry{relative, spool::snapshot_file(from, to), 0});
            }
            failed_at = partial + "/manifest";
            manifest = spool::write_manifest(failed_at, m);
            if (::rename(partial.c_str(), snap.folder.c_str()) != 0) spool::fail("naming");
            ok = true;
        } catch (const std::system_error &e) {
            failure = e;
            if (manifest >= 0) ::close(manifest);
            spool::remove_tree(partial);
        }
        std::scoped_lock lock(p.spool.mutex);
        if (!offline) p.spool.reserved -= total;
        if (ok && !offline) {
            snap.tracking_uri = uri;
            snap.run_id = m.run_id;
            snap.bytes = m.bytes();
            snap.files = m.files.size();
            snap.manifest = std::shared_ptr<int>(new int(manifest), [](const int *fd) {
                if (*fd >= 0) ::close(*fd);
                delete fd;
            });
            p.spool.due.push_back(snap);
            p.spool.bytes += snap.bytes;
        }
    }
    if (!ok) snapshot_failed(failure, failed_at);
    if (offline) {
        ::close(manifest);  // kept for `sync`, which finds it in the spool
        return py::bool_(true);
    }
    p.spool.changed.notify_all();
    if (!p.spool.thread) start_uploader(p);
    return py::bool_(true);
}

// ---- uploading one snapshot ---------------------------------------------------------

namespace {

// What an upload's failure means: "retry" when it may go through later (the
// server away or overloaded, a login to renew), else "refused".
const char *failure_kind(rt::Call &c, py::error_already_set &e) {
    if (e.matches(c.g("RequestException"))) {
        py::object response = py::getattr(e.value(), "response", py::none());
        if (response.is_none()) return "retry";
        int64_t status = as_int64(response.attr("status_code"));
        return (status == 401 || status == 408 || status == 429 || status >= 500) ? "retry" : "refused";
    }
    if (e.matches(c.g("MlflowException"))) {
        py::object code = e.value().attr("error_code");
        for (const char *refusal :
             {"INVALID_PARAMETER_VALUE", "RESOURCE_DOES_NOT_EXIST", "INVALID_STATE", "PERMISSION_DENIED"})
            if (rt::equal(code, py::str(refusal))) return "refused";
        return "retry";
    }
    if (e.matches(PyExc_PermissionError)) return "refused";
    if (e.matches(PyExc_OSError)) return "retry";  // a store's disk, a connection
    return "refused";
}

// The snapshot's files checked against their manifest: "" when they hold
// what the call snapshotted, else what is wrong.
std::string damage(const std::string &folder, const spool::Manifest &m) {
    for (const spool::FileEntry &f : m.files) {
        spool::Fd fd(::open((folder + "/files/" + f.relative).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (fd.fd < 0) return "its copy of " + f.relative + " is missing";
        try {
            auto [size, crc] = spool::checksum(fd.fd);
            if (size != f.size || crc != f.crc) return "its copy of " + f.relative + " does not match its checksum";
        } catch (const std::system_error &e) {
            return "its copy of " + f.relative + " cannot be read (" + e.what() + ")";
        }
    }
    return "";
}

}  // namespace

// Uploads the snapshot in `folder` to its run (or `target`: a tracking URI
// and a run ID), each file into the artifact path it was logged with.
// Returns (outcome, text): "sent", "retry", "refused" (the run gone or
// deleted, the server's refusal), "damaged" (a copy that does not match its
// checksum: never uploaded), or "in use" (`take`: another process holds it).
// With `take` (a sync), the snapshot is locked first and removed once sent.
py::object upload_snapshot(rt::Call &c) {
    auto [folder_arg, target, take] = c.args<3>();
    std::string folder = utf8(c.g("os").attr("fspath")(folder_arg));
    spool::Fd lock;
    int fd;
    if (rt::truthy(take)) {
        try {
            lock.fd = jfile::File::open_locked(folder + "/manifest");
        } catch (const std::system_error &e) {
            return py::make_tuple("damaged", rt::text({"its manifest cannot be opened (", py::str(e.what()), ")"}));
        }
        if (lock.fd < 0) return py::make_tuple("in use", "a live process is uploading it");
        fd = lock.fd;
    } else {
        lock.fd = ::open((folder + "/manifest").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (lock.fd < 0) return py::make_tuple("damaged", "its manifest is missing");
        fd = lock.fd;
    }
    bool ok = false;
    spool::Manifest m;
    std::string wrong;
    {
        WithoutGil released;
        m = spool::read_manifest(fd, ok);
        // Checksums not taken yet (its process killed right after the call):
        // taken now by the sync, from the copies, which nothing changed since.
        try {
            if (ok && !m.checksummed && rt::truthy(take) && !spool::add_checksums(fd, folder, m))
                wrong = "a copy is missing or not of its recorded size";
        } catch (const std::system_error &e) {
            wrong = std::string("its checksums cannot be taken (") + e.what() + ")";
        }
        if (ok && wrong.empty()) wrong = damage(folder, m);
    }
    if (!ok) return py::make_tuple("damaged", "its manifest is not one this version reads");
    if (!m.checksummed && wrong.empty()) return py::make_tuple("retry", "its checksums are not taken yet");
    if (!wrong.empty()) return py::make_tuple("damaged", text_of(wrong));
    py::object uri = text_of(m.tracking_uri), run_id = text_of(m.run_id);
    if (!target.is_none()) {
        py::tuple t(rt::own(target));
        uri = t[0];
        run_id = t[1];
    }
    // One attempt; a sync makes a few, with the sender's pauses between them
    // (the helper makes one: its uploader retries for as long as it lives).
    auto upload = [&]() -> py::object {
        try {
            py::object client = c.g("MlflowClient")(uri);
            py::object run = client.attr("get_run")(run_id);
            if (rt::equal(run.attr("info").attr("lifecycle_stage"), py::str("deleted")))
                return py::make_tuple("refused", rt::text({"the run ", run_id, " was deleted"}));
            py::object repository =
                c.g("_with_tracking_uri")(uri, c.g("get_artifact_repository"), run.attr("info").attr("artifact_uri"));
            py::object posix = c.g("posixpath");
            for (const spool::FileEntry &f : m.files) {
                py::object relative = text_of(f.relative), under = posix.attr("dirname")(relative);
                if (!m.artifact_path.empty()) under = posix.attr("join")(text_of(m.artifact_path), under);
                under = posix.attr("normpath")(under);
                c.g("_with_tracking_uri")(uri, repository.attr("log_artifact"),
                                          text_of(folder + "/files/" + f.relative),
                                          rt::equal(under, py::str(".")) ? py::object(py::none()) : under);
            }
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return py::make_tuple(failure_kind(c, e), py::str(e.value()));
        }
        return py::none();
    };
    Backoff backoff;
    py::object failed = upload();
    for (int tried = 1; rt::truthy(take) && tried < SYNC_UPLOAD_ATTEMPTS && !failed.is_none() &&
                        rt::equal(py::tuple(failed)[0], py::str("retry"));
         tried++) {
        c.g("time").attr("sleep")(backoff.next());
        failed = upload();
    }
    if (!failed.is_none()) return failed;
    if (rt::truthy(take)) spool::remove_tree(folder);
    return py::make_tuple("sent", py::int_(m.files.size()));
}

// The whole snapshots in the spool of `journal_folder` (a sync's list): each
// a dict of ``folder``, ``tracking_uri``, ``run_id``, ``files`` and
// ``bytes``; those whose manifest this version cannot read are listed with
// ``tracking_uri`` None.
py::object spool_snapshots(rt::Call &c) {
    auto [journal] = c.args<1>();
    py::object os = c.g("os");
    py::object root = os.attr("path").attr("join")(journal, "artifacts");
    py::list found;
    if (!rt::truthy(os.attr("path").attr("isdir")(root))) return found;
    py::list names = rt::builtin("sorted")(os.attr("listdir")(root));
    for (py::handle name : names) {
        if (rt::truthy(py::str(name).attr("endswith")(spool::PARTIAL))) continue;
        py::object folder = os.attr("path").attr("join")(root, name);
        // A snapshot is a folder of the user's own, its copies in a folder
        // beside its manifest: a symbolic link is not followed, and a folder
        // another user owns or may write in is not read.
        py::object files = os.attr("path").attr("join")(folder, "files");
        if (rt::truthy(os.attr("path").attr("islink")(folder)) || rt::truthy(os.attr("path").attr("islink")(files)) ||
            !rt::folder_refusal(folder).is_none())
            continue;
        std::string manifest = utf8(folder) + "/manifest";
        spool::Fd fd(::open(manifest.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        bool ok = false;
        spool::Manifest m;
        if (fd.fd >= 0) m = spool::read_manifest(fd.fd, ok);
        py::dict entry("folder"_a = folder, "tracking_uri"_a = py::none(), "run_id"_a = py::none(),
                       "files"_a = py::int_(m.files.size()), "bytes"_a = py::int_(m.bytes()));
        if (ok) {
            entry["tracking_uri"] = text_of(m.tracking_uri);
            entry["run_id"] = text_of(m.run_id);
        }
        found.append(entry);
    }
    return found;
}

}  // namespace background
