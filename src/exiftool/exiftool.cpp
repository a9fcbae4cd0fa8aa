#include "exiftool/internal.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>

#include "json_writer/json_writer.hpp"
#include "text/text.hpp"

namespace exiftool {

namespace {

using Json = model::Json;

bool exists(const std::string& path) {
    return !path.empty() && io::status(path, io::Follow::Links).has_value();
}

const char* type_name(const Json& value) {
    switch (value.type()) {
    case Json::value_t::null:
        return "null";
    case Json::value_t::boolean:
        return "boolean";
    case Json::value_t::string:
        return "string";
    case Json::value_t::object:
        return "object";
    default:
        return "number";
    }
}

} // namespace

std::optional<std::string> locate() {
    if (const char* env = std::getenv("ZUN_EXIFTOOL"); env && text::is_utf8(env) && exists(env))
        return std::string(env);
    for (const char* fixed :
         {"/opt/homebrew/bin/exiftool", "/usr/local/bin/exiftool", "/usr/bin/exiftool"})
        if (exists(fixed)) return std::string(fixed);
    return std::nullopt;
}

std::optional<std::string> ask_version(const std::string& tool) {
    auto result = io::run_process(tool, {"-ver"});
    if (auto* output = std::get_if<ProcessOutput>(&result))
        return std::string(text::trim(text::lossy(output->out)));
    return std::nullopt;
}

std::vector<std::string> batch_arguments(const std::vector<std::string>& files, Numeric numeric) {
    std::vector<std::string> args = {"-json", "-G1", "-a",   "-u",
                                     "-q",    "-q",  "-api", "largefilesupport=1"};
    if (numeric == Numeric::Yes) args.push_back("-n");
    for (const auto& f : files)
        args.push_back(safe_file_argument(f));
    return args;
}

std::string safe_file_argument(const std::string& path) {
    if (!path.empty() && path[0] == '-') return "./" + path;
    return path;
}

std::variant<Objects, std::string> parse_output(const ProcessResult& result, Form form) {
    if (auto* failure = std::get_if<io::Error>(&result))
        return "exiftool: " + io::error_text(*failure);
    const auto& output = std::get<ProcessOutput>(result);
    // Output in well-formed UTF-8 (all of it, as a rule) is read in place, without a copy.
    std::string repaired;
    std::string_view out = output.out;
    if (!text::is_utf8(out)) out = repaired = text::lossy(output.out);
    if (text::trim(out).empty()) {
        std::string err(text::trim(text::lossy(output.err)));
        if (err.empty()) return std::string(kNoAnswer);
        return err;
    }
    // A listing's tags (two levels down: the array, a file's object) describe themselves in
    // "desc", which nothing reads.
    std::optional<model::Omit> omit;
    if (form == Form::Listing) omit = model::Omit{2, "desc"};
    auto parsed = model::parse_json(out, omit);
    if (auto* error = std::get_if<std::string>(&parsed)) return "exiftool json: " + *error;
    Json& doc = std::get<Json>(parsed);
    if (!doc.is_array())
        return std::string("exiftool json: invalid type: ") + type_name(doc) +
               ", expected an array";
    Objects objects;
    for (auto& element : doc)
        if (element.is_object()) objects.push_back(std::move(element));
    return objects;
}

std::variant<Objects, std::string>
run_batch(const std::string& tool, const std::vector<std::string>& files, Numeric numeric) {
    return parse_output(io::run_process(tool, batch_arguments(files, numeric)));
}

std::vector<std::size_t> match_arguments(std::string_view file_name,
                                         const std::vector<std::string>& arguments) {
    // Two files whose names differ only in letter case are different clips on a
    // case-sensitive file system, so an exact match always wins.
    auto normalise = [](std::string_view s) {
        std::string slashes(s);
        for (char& c : slashes)
            if (c == '\\') c = '/';
        return text::lower(slashes);
    };
    std::optional<std::string> wanted; // made when the exact comparison finds nothing
    const std::array<std::function<bool(const std::string&)>, 3> tiers = {
        // The tool's names are UTF-8, so equal bytes match at once.
        [&](const std::string& arg) {
            return arg == file_name || (!text::is_utf8(arg) && text::lossy(arg) == file_name);
        },
        [&](const std::string& arg) {
            if (!wanted) wanted = normalise(file_name);
            return normalise(text::lossy(arg)) == *wanted;
        },
        // The tool reports each byte that is not part of well-formed UTF-8 as "?".
        [&](const std::string& arg) { return text::replace_bytes(arg, '?') == file_name; },
    };
    std::vector<std::size_t> found;
    for (const auto& matches : tiers) {
        for (std::size_t i = 0; i < arguments.size(); ++i)
            if (matches(arguments[i])) found.push_back(i);
        if (!found.empty()) break;
    }
    return found;
}

BatchResult combine_runs(const std::variant<Objects, std::string>& raw,
                         const std::variant<Objects, std::string>& printed,
                         const std::vector<std::string>& files) {
    // The tool reports files under the names we passed it, which differ from the
    // caller's for paths that had to be protected from being read as options.
    std::vector<std::string> passed;
    passed.reserve(files.size());
    for (const auto& f : files)
        passed.push_back(safe_file_argument(f));
    return combine_runs(raw, printed, files, passed);
}

namespace {

// The raw tags of one answer: each member but "SourceFile", split at the first ":" into group
// and name, with `values_of` giving each member's raw value and its printed value (null when
// it has none).
template <typename ValuesOf>
std::vector<model::RawTag> answer_tags(const Json& object, ValuesOf values_of) {
    std::vector<model::RawTag> tags;
    tags.reserve(object.size());
    for (auto it = object.begin(); it != object.end(); ++it) {
        const std::string& whole = it.key();
        if (whole == "SourceFile") continue;
        model::RawTag tag;
        if (auto colon = whole.find(':'); colon != std::string::npos) {
            tag.group = whole.substr(0, colon);
            tag.name = whole.substr(colon + 1);
        } else {
            tag.name = whole;
        }
        std::pair<Json, const Json*> values = values_of(whole, it.value());
        tag.raw = std::move(values.first);
        if (const Json* p = values.second)
            tag.printed = p->is_string() ? p->get<std::string>() : json_writer::compact(*p);
        tags.push_back(std::move(tag));
    }
    return tags;
}

// The tool's name for the file an answer is about ("" when it gives none).
std::string answer_name(const Json& object) {
    if (auto it = object.find("SourceFile"); it != object.end() && it->is_string())
        return it->get<std::string>();
    return {};
}

// Files the answers (the tool's name for each file and its tags, in the tool's order) under
// the caller's paths `files`, which were passed to the tool as `passed`.
BatchResult file_answers(std::vector<std::pair<std::string, std::vector<model::RawTag>>>&& answers,
                         const std::vector<std::string>& files,
                         const std::vector<std::string>& passed) {
    BatchResult result;
    std::vector<bool> answered(files.size(), false);
    for (auto& [file_name, tags] : answers) {
        const std::vector<std::size_t> candidates = match_arguments(file_name, passed);
        if (candidates.empty()) {
            // Filed under the tool's own name, which no caller asks for.
            result.insert_or_assign(file_name, Entry(std::move(tags)));
            continue;
        }
        // Of several candidates, the first one not answered yet: the tool answers in order.
        // Answers beyond their number replace the last one's.
        std::size_t chosen = candidates.back();
        for (std::size_t c : candidates)
            if (!answered[c]) {
                chosen = c;
                break;
            }
        // Every caller path that became this argument gets the answer (the last one takes it).
        std::optional<std::size_t> last;
        for (std::size_t i = 0; i < files.size(); ++i)
            if (passed[i] == passed[chosen]) {
                if (last) result.insert_or_assign(files[*last], Entry(tags));
                answered[i] = true;
                last = i;
            }
        result.insert_or_assign(files[*last], Entry(std::move(tags)));
    }
    return result;
}

} // namespace

BatchResult combine_runs(const std::variant<Objects, std::string>& raw,
                         const std::variant<Objects, std::string>& printed,
                         const std::vector<std::string>& files,
                         const std::vector<std::string>& passed) {
    const std::string* failure = std::get_if<std::string>(&raw);
    if (!failure) failure = std::get_if<std::string>(&printed);
    if (failure) {
        BatchResult result;
        for (const auto& f : files)
            result.insert_or_assign(f, Entry(*failure));
        return result;
    }
    if (passed.size() != files.size()) return {};

    // Both runs report the files in argument order, so where several arguments give one name
    // (the tool writes several non-UTF-8 names the same way, or one argument was passed twice)
    // the n-th raw object of the name goes with its n-th printed object. Objects beyond the
    // number of such arguments replace the earlier ones, in both runs: a name's last argument
    // gets its last printed object.
    std::unordered_map<std::string, std::vector<const Json*>> printed_index;
    for (const auto& object : std::get<Objects>(printed)) {
        auto it = object.find("SourceFile");
        if (it != object.end() && it->is_string())
            printed_index[it->get<std::string>()].push_back(&object);
    }
    // Per name: the raw objects seen so far, and the number of arguments that give it.
    std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> seen_names;
    std::vector<std::pair<std::string, std::vector<model::RawTag>>> answers;
    for (const auto& object : std::get<Objects>(raw)) {
        std::string file_name = answer_name(object);
        auto [seen, inserted] = seen_names.try_emplace(file_name, 0, 0);
        if (inserted) seen->second.second = match_arguments(file_name, passed).size();
        const std::size_t occurrence = seen->second.first++;
        const std::size_t arguments = seen->second.second;
        const Json* printed_object = nullptr;
        if (auto it = printed_index.find(file_name); it != printed_index.end()) {
            const std::size_t last = it->second.size() - 1;
            printed_object =
                it->second[occurrence + 1 < arguments ? std::min(occurrence, last) : last];
        }
        auto tags = answer_tags(object, [&](const std::string& whole, const Json& value) {
            const Json* p = nullptr;
            if (printed_object)
                if (auto found = printed_object->find(whole); found != printed_object->end())
                    p = &*found;
            return std::pair<Json, const Json*>(value, p);
        });
        answers.emplace_back(std::move(file_name), std::move(tags));
    }
    return file_answers(std::move(answers), files, passed);
}

std::optional<BatchResult> combine_listing(const Objects& objects,
                                           const std::vector<std::string>& files,
                                           const std::vector<std::string>& passed) {
    if (passed.size() != files.size()) return std::nullopt;
    std::vector<std::pair<std::string, std::vector<model::RawTag>>> answers;
    answers.reserve(objects.size());
    for (const auto& object : objects) {
        // Every answer names its file, so pairing by name (as combine_runs does) pairs each
        // answer with itself.
        auto name = object.find("SourceFile");
        if (name == object.end() || !name->is_string()) return std::nullopt;
        for (auto it = object.begin(); it != object.end(); ++it)
            if (it.key() != "SourceFile" && (!it->is_object() || !it->contains("val")))
                return std::nullopt;
        auto tags = answer_tags(object, [](const std::string&, const Json& value) {
            const Json& val = *value.find("val");
            const auto num = value.find("num");
            return std::pair<Json, const Json*>(num != value.end() ? *num : val, &val);
        });
        answers.emplace_back(name->get<std::string>(), std::move(tags));
    }
    return file_answers(std::move(answers), files, passed);
}

BatchResult read_batch(const std::string& tool, const std::vector<std::string>& files) {
    // Both runs are started before either is read; their pipes are drained together.
    std::vector<io::Running> runs;
    runs.push_back(io::start(tool, batch_arguments(files, Numeric::Yes)));
    runs.push_back(io::start(tool, batch_arguments(files, Numeric::No)));
    auto results = io::finish_all(runs);
    return combine_runs(parse_output(results[0]), parse_output(results[1]), files);
}

} // namespace exiftool
