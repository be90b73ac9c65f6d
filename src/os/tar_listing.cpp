// GNU tar's verbose listing of an archive read member by member, and the rule
// that keeps an unpacking inside its directory: names relative and without
// "..", links of the archive leading nowhere else and never passed through.
#include "os/tar_listing.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;

// A C-quoted name as tar lists it ("a\"b\n"), read from the stream.
std::optional<std::string> quoted_name(std::istream& in) {
    std::string name;
    if (!(in >> std::ws) || in.get() != '"') return std::nullopt;
    for (int c; (c = in.get()) != EOF;) {
        if (c == '"') return name;
        if (c != '\\') {
            name += char(c);
            continue;
        }
        c = in.get();
        if (c >= '0' && c <= '7') {
            int code = c - '0';
            for (int i = 0; i < 2 && in.peek() >= '0' && in.peek() <= '7'; ++i)
                code = code * 8 + (in.get() - '0');
            name += char(code);
        } else {
            const std::string_view from = "abfnrtv", to = "\a\b\f\n\r\t\v";
            const size_t at = from.find(char(c));
            name += at == std::string_view::npos ? char(c) : to[at];
        }
    }
    return std::nullopt;
}

// Where a relative path of the archive (a member's name, or a link's target
// taken from the link's directory) lands within the directory it is unpacked
// in, without passing through a symbolic link of the archive; nothing when it
// leads out.
std::optional<fs::path> path_in_archive(const fs::path& from, const std::string& path,
                                        const std::set<fs::path>& links) {
    const fs::path steps(path);
    if (path.empty() || steps.is_absolute()) return std::nullopt;
    std::vector<fs::path> parts(from.begin(), from.end());
    const auto joined = [&parts] {
        fs::path sofar;
        for (const fs::path& part : parts)
            sofar /= part;
        return sofar;
    };
    for (const fs::path& step : steps) {
        if (step.empty() || step == ".") continue;
        if (!parts.empty() && links.contains(joined())) return std::nullopt;
        if (step != "..")
            parts.push_back(step);
        else if (parts.empty())
            return std::nullopt;
        else
            parts.pop_back();
    }
    return joined();
}

bool holds_dot_dot(const std::string& name) {
    const fs::path path(name);
    return std::any_of(path.begin(), path.end(), [](const fs::path& step) { return step == ".."; });
}

} // namespace

std::optional<std::vector<TarMember>> tar_members(std::string_view listing) {
    std::vector<TarMember> members;
    std::istringstream lines{std::string(listing)};
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string mode, owner, size, date, time, joint;
        in >> mode >> owner >> size >> date >> time;
        TarMember member;
        member.type = mode.empty() ? '?' : mode[0];
        const auto name = quoted_name(in);
        if (!name) return std::nullopt;
        member.name = *name;
        if (member.type == 'l' || member.type == 'h') {
            in >> joint;
            if (joint == "link") in >> joint; // "link to"
            const auto target = quoted_name(in);
            if (!target) return std::nullopt;
            member.target = *target;
        }
        members.push_back(std::move(member));
    }
    return members;
}

const TarMember* tar_member_leading_out(const std::vector<TarMember>& members,
                                        const TarLanding& lands) {
    std::set<fs::path> links;
    for (const TarMember& member : members) {
        if (std::string_view("-dlh").find(member.type) == std::string_view::npos ||
            holds_dot_dot(member.name))
            return &member;
        const auto name = path_in_archive({}, member.name, links);
        if (!name || (name->empty() ? member.type != 'd' : lands && !lands(name->string(), false)))
            return &member; // "./", the directory itself, stays
        if (member.type == 'l' || member.type == 'h') {
            const auto target = path_in_archive(
                member.type == 'l' ? name->parent_path() : fs::path(), member.target, links);
            if (!target || (lands && !lands(target->string(), true))) return &member;
        }
        if (member.type == 'l') links.insert(*name);
    }
    return nullptr;
}
