// Values as the tracking server's `log_batch` requests take them: JSON
// bodies written here, without Python, each run's values in logged order
// within the server's limits.
#include "parts.hpp"

#include <cmath>
#include <cstdio>

namespace background {

namespace {

// JSON text of UTF-8 written with `surrogatepass`: a lone surrogate (three
// bytes ED A0..BF ..) becomes its \u escape, as Python's json writes it.
void append_json_string(std::string &out, const std::string &text) {
    char escape[8];
    out += '"';
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            snprintf(escape, sizeof escape, "\\u%04x", ch);
            out += escape;
        } else if (ch == 0xED && i + 2 < text.size() &&
                   (unsigned{static_cast<unsigned char>(text[i + 1])} & 0xE0U) == 0xA0U) {
            unsigned code = ((unsigned{ch} & 0x0FU) << 12U) |
                            ((unsigned{static_cast<unsigned char>(text[i + 1])} & 0x3FU) << 6U) |
                            (unsigned{static_cast<unsigned char>(text[i + 2])} & 0x3FU);
            snprintf(escape, sizeof escape, "\\u%04x", code);
            out += escape;
            i += 2;
        } else {
            out += static_cast<char>(ch);
        }
    }
    out += '"';
}

// A double as protobuf's JSON writes it: NaN and the infinities as strings.
void append_json_double(std::string &out, double value) {
    if (std::isnan(value)) {
        out += "\"NaN\"";
    } else if (std::isinf(value)) {
        out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    } else {
        char text[32];
        snprintf(text, sizeof text, "%.17g", value);
        out += text;
    }
}

std::string json_of(const Record &r) {
    std::string out = "{\"key\": ";
    append_json_string(out, r.key);
    if (r.is_param) {
        out += ", \"value\": ";
        append_json_string(out, r.text);
    } else {
        out += ", \"value\": ";
        append_json_double(out, r.value);
        out += ", \"timestamp\": " + std::to_string(r.timestamp) + ", \"step\": " + std::to_string(r.step);
    }
    return out + "}";
}

}  // namespace

bool Batch::takes(const std::string &json, bool is_param) const {
    if (is_param ? param_count >= MAX_PARAMS : metric_count >= MAX_METRICS) return false;
    if (metric_count + param_count >= MAX_ENTITIES) return false;
    return metrics.size() + params.size() + json.size() + 256 + run_id->size() <= MAX_REQUEST_BYTES;
}

void Batch::add(const Record *r, const std::string &json) {
    std::string &items = r->is_param ? params : metrics;
    if (!items.empty()) items += ", ";
    items += json;
    (r->is_param ? param_count : metric_count)++;
    records.push_back(r);
}

std::string Batch::body() const {
    std::string out = "{\"run_id\": ";
    append_json_string(out, *run_id);
    return out + ", \"metrics\": [" + metrics + "], \"params\": [" + params + "], \"tags\": []}";
}

std::vector<Batch> batches_of(const std::vector<Record> &taken) {
    // Runs in the order they first appear; each run's records in logged order.
    std::map<std::pair<std::string, std::string>, size_t> index;
    std::vector<std::vector<const Record *>> by_run;
    for (const Record &r : taken) {
        auto key = std::make_pair(r.tracking_uri, r.run_id);
        auto found = index.find(key);
        if (found == index.end()) {
            found = index.emplace(key, by_run.size()).first;
            by_run.emplace_back();
        }
        by_run[found->second].push_back(&r);
    }
    std::vector<Batch> batches;
    for (const auto &records : by_run) {
        bool first = true;
        for (const Record *r : records) {
            std::string json = json_of(*r);
            if (first || !batches.back().takes(json, r->is_param)) {
                batches.emplace_back();
                batches.back().tracking_uri = &r->tracking_uri;
                batches.back().run_id = &r->run_id;
                first = false;
            }
            batches.back().add(r, json);
        }
    }
    return batches;
}

}  // namespace background
