// What this process logged into its runs, kept small for the console's
// summary at a run's end: for the first few metrics of a run, the last value
// and the course of all of them in a bounded number of buckets (the buckets
// merge in pairs when full, so a run of any length keeps its whole course).
#include <string>
#include <vector>

#include "parts.hpp"

namespace iteration {

namespace {

constexpr size_t SERIES_PER_RUN = 5, BUCKETS = 48, RUNS_KEPT = 16;

struct Series {
    std::string key;
    double last = 0;
    long per_bucket = 1;
    std::vector<std::pair<double, long>> buckets;  // sum, count

    void add(double value) {
        last = value;
        if (buckets.empty() || buckets.back().second >= per_bucket) {
            if (buckets.size() == BUCKETS) {
                for (size_t i = 0; i < BUCKETS / 2; ++i)
                    buckets[i] = {buckets[2 * i].first + buckets[(2 * i) + 1].first,
                                  buckets[2 * i].second + buckets[(2 * i) + 1].second};
                buckets.resize(BUCKETS / 2);
                per_bucket *= 2;
            }
            if (buckets.empty() || buckets.back().second >= per_bucket) buckets.emplace_back(0.0, 0);
        }
        buckets.back().first += value;
        buckets.back().second++;
    }
};

struct RunHistory {
    std::string run_id;
    std::vector<Series> series;
};

// Touched with the GIL held only.
std::vector<RunHistory> &histories() {
    static auto *kept = new std::vector<RunHistory>();
    return *kept;
}

bool text_of(py::handle value, std::string &out) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_Check(value.ptr()) ? PyUnicode_AsUTF8AndSize(value.ptr(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(data, static_cast<size_t>(size));
    return true;
}

}  // namespace

void remember(py::handle run_id, py::handle key, py::handle value) {
    double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    std::string run, name;
    if (!text_of(run_id, run) || !text_of(key, name)) return;
    std::vector<RunHistory> &all = histories();
    RunHistory *history = nullptr;
    for (RunHistory &h : all)
        if (h.run_id == run) history = &h;
    if (history == nullptr) {
        if (all.size() == RUNS_KEPT) all.erase(all.begin());
        all.push_back(RunHistory{run, {}});
        history = &all.back();
    }
    for (Series &s : history->series) {
        if (s.key != name) continue;
        s.add(number);
        return;
    }
    if (history->series.size() == SERIES_PER_RUN) return;
    history->series.push_back(Series{name});
    history->series.back().add(number);
}

py::object metric_history(rt::Call &c) {
    auto [run_id] = c.args<1>();
    py::list out;
    std::string run;
    if (!text_of(run_id, run)) return out;
    std::vector<RunHistory> &all = histories();
    for (auto h = all.begin(); h != all.end(); ++h) {
        if (h->run_id != run) continue;
        for (const Series &s : h->series) {
            py::list course;
            for (const auto &[sum, count] : s.buckets) course.append(py::float_(sum / static_cast<double>(count)));
            out.append(py::make_tuple(py::str(s.key), py::float_(s.last), course));
        }
        all.erase(h);
        break;
    }
    return out;
}

}  // namespace iteration
