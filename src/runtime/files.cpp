// Whether a folder may hold what the package keeps for its user: journals of
// values the calls accepted, offline stores, logins. Another user who owns
// such a folder, or may write in it, can delete what it holds or plant files
// that the package would read as its own.
#include "internal.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace rt {

namespace {

py::str mode_text(mode_t mode) {
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode) & 07777U);
    return py::str(octal);
}

}  // namespace

py::object folder_refusal(py::handle path) {
    py::object encoded = py::module_::import("os").attr("fsencode")(path);
    std::string where(py::bytes(encoded).cast<std::string>());
    py::object quoted = py::module_::import("shlex").attr("quote")(py::module_::import("os").attr("fsdecode")(encoded));
    uid_t me = geteuid();
    struct stat link{};
    if (lstat(where.c_str(), &link) != 0) return py::none();  // not there yet: it is made for the user alone
    if (S_ISLNK(link.st_mode) && link.st_uid != me && link.st_uid != 0)
        return text({"the symbolic link that names it belongs to another user (uid ", py::int_(link.st_uid),
                     "): name the folder itself"});
    struct stat folder{};
    if (stat(where.c_str(), &folder) != 0) return py::none();
    if (!S_ISDIR(folder.st_mode)) return py::none();  // the caller says what a file there means
    if (folder.st_uid != me)
        return text({"another user (uid ", py::int_(folder.st_uid), ") owns it: use a folder of your own"});
    constexpr mode_t GROUP_OR_OTHERS_WRITE = 0022U;  // S_IWGRP | S_IWOTH
    if ((folder.st_mode & GROUP_OR_OTHERS_WRITE) != 0)
        return text({"group or others may write in it (mode ", mode_text(folder.st_mode),
                     "): make it yours alone (chmod 700 ", quoted, ")"});
    return py::none();
}

}  // namespace rt
