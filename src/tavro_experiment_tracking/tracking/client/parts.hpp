// The parts of the client module (tracking/client.cpp holds the module
// itself: the session client, the factory, the endings at exit): what each
// part gives it.
#pragma once

#include "runtime.hpp"

namespace client_parts {

namespace py = pybind11;

// claims.cpp: a run found by one of its tags, and one run per name however
// many processes start it at once.
py::object find_run_tagged(rt::Call &c);
py::object claim_run_tagged(rt::Call &c);

// ranks.cpp: the ranks of one distributed job sharing a run.
py::object job_rank(rt::Call &c);
py::object join_as_rank(rt::Call &c);
py::object terminate(rt::Call &c);

// console.cpp: where a run is, said when it starts and ends.
py::object ui_url(rt::Call &c);
py::object say_started(rt::Call &c);
py::object say_ended(rt::Call &c);

}  // namespace client_parts
