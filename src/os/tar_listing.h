// What GNU tar lists of an archive, and whether its members, unpacked in a
// directory, all stay inside it: the rule of the update's unpacking and of
// the sandbox's guard.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The options that make tar list an archive as tar_members reads it: one
// member a line, owners as numbers, names and link targets in C quotes.
constexpr const char* kTarListingOptions = "--numeric-owner --full-time --quoting-style=c";

// One member of an archive: its type as tar lists it ('-' file, 'd' directory,
// 'l' symbolic link, 'h' hard link, others), its name and its link's target.
struct TarMember {
    char type = '?';
    std::string name;
    std::string target;
};

// The members of a verbose listing made with kTarListingOptions; nothing when
// a line cannot be read.
std::optional<std::vector<TarMember>> tar_members(std::string_view listing);

// Where a member or a link's target lands, relative to the directory the
// archive is unpacked in (empty: that directory), and whether it may be that
// directory itself: true when it stays where the caller wants it.
using TarLanding = std::function<bool(const std::string& place, bool directory_itself)>;

// The first member that would not stay inside the directory the archive is
// unpacked in ("./" is that directory): one that is no file, directory or
// link; a name that is
// absolute, holds "..", or passes through a symbolic link of the archive; a
// link whose target leads out or through such a link. `lands`, when given, is
// asked for every place too (links already on disk). nullptr when none.
const TarMember* tar_member_leading_out(const std::vector<TarMember>& members,
                                        const TarLanding& lands = nullptr);
