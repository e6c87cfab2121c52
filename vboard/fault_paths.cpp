#include "fault_paths.hpp"

#include "faults.hpp"
#include "fs/tree.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

namespace vboard {

namespace {

using Kind = FsTree::Kind;

// PATH_MAX counts the terminating NUL: a longer path is ENAMETOOLONG to
// every system call, so no fault on one could fire.
constexpr std::size_t path_max = 4096;

// The board's paths have some 240 spellings, links followed: a bound on
// the work, should the tree grow.
constexpr std::size_t most_candidates = 20000;

std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start && path.compare(start, end - start, ".") != 0) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

// The first `count` components as an absolute path ("" for none: the root).
std::string joined(const std::vector<std::string>& parts, std::size_t count)
{
    std::string path;
    for (std::size_t i = 0; i < count; ++i) {
        path += "/" + parts[i];
    }
    return path;
}

// What the program finds at `path`, links followed.
std::optional<FsTree::Place> found_at(FsTree& tree, const std::string& path)
{
    FsTree::Ino ino = FsTree::root_ino;
    auto place = tree.place(ino);
    for (const auto& part : components(tree.canonical(path))) {
        place = tree.lookup(ino, part);
        if (!place) {
            return std::nullopt;
        }
        ino = place->entry.ino;
    }
    return place;
}

bool writable(const FsTree::Place& place)
{
    return place.entry.kind == Kind::attribute && place.file.writable;
}

bool is_file(const FsTree::Place& place)
{
    return place.entry.kind == Kind::attribute || place.entry.kind == Kind::file;
}

// The edits of single characters (insertions, deletions, substitutions)
// that make `a` into `b`: Levenshtein's distance.
std::size_t edits(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j < row.size(); ++j) {
        row[j] = j;
    }
    for (const char c : a) {
        std::size_t diagonal = row[0];
        ++row[0];
        for (std::size_t j = 1; j < row.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (b[j - 1] == c ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

// What it costs to make one path into another, component by component: a
// component added or left out costs one `whole`, one replaced by another
// the share of its characters that change (a typo in a long name costs
// less than one in a short one).
constexpr std::size_t whole = 1000;

std::size_t replaced(std::string_view a, std::string_view b)
{
    return a == b ? 0 : edits(a, b) * whole / std::max(a.size(), b.size());
}

using Fits = bool (*)(const FsTree::Place&);

// A search below a directory for the path nearest `rest` (components): the
// costs are counted as Levenshtein's table is, one row per component of a
// path, so that the paths below a directory go on from its row.
struct Search {
    Search(FsTree& t, std::vector<std::string> r, Fits f) : tree(t), rest(std::move(r)), fits(f) {}

    FsTree& tree;
    std::vector<std::string> rest;
    Fits fits; // what may be the answer
    std::size_t least = SIZE_MAX;
    std::string best;
    std::optional<FsTree::Place> best_place;
    std::size_t looked_at = 0;

    using Row = std::vector<std::size_t>; // row[j]: the cost of making it the first j components of `rest`

    Row first_row() const
    {
        Row row(rest.size() + 1);
        for (std::size_t j = 0; j < row.size(); ++j) {
            row[j] = j * whole;
        }
        return row;
    }

    Row extended(const Row& row, std::string_view name) const
    {
        Row next(row.size());
        next[0] = row[0] + whole;
        for (std::size_t j = 1; j < row.size(); ++j) {
            next[j] = std::min({row[j] + whole, next[j - 1] + whole, row[j - 1] + replaced(name, rest[j - 1])});
        }
        return next;
    }

    void consider(const std::string& path, const FsTree::Place& place, const Row& row)
    {
        if (fits(place) && row.back() < least) {
            least = row.back();
            best = path;
            best_place = place;
        }
    }

    // Every path below the directory `spelled` (inode `ino`), whose row is
    // `row`, through links too; never into a directory already on the way
    // down (a device's subsystem link leads back to its class), nor where
    // no row can get below the least cost found so far.
    void below(const std::string& spelled, FsTree::Ino ino, const Row& row, std::vector<FsTree::Ino>& way)
    {
        const auto listing = tree.list(ino);
        for (const auto& [name, entry] : listing.entries) {
            if (++looked_at > most_candidates) {
                return;
            }
            const std::string path = spelled + "/" + name;
            const auto place = entry.kind == Kind::link ? found_at(tree, path) : tree.place(entry.ino);
            if (!place) {
                continue; // a link to nothing
            }
            const Row here = extended(row, name);
            consider(path, *place, here);
            const FsTree::Ino child = place->entry.ino;
            const bool can_do_better = *std::min_element(here.begin(), here.end()) < least;
            if (place->entry.kind == Kind::directory && can_do_better &&
                std::find(way.begin(), way.end(), child) == way.end()) {
                way.push_back(child);
                below(path, child, here, way);
                way.pop_back();
            }
        }
    }
};

bool anything(const FsTree::Place&)
{
    return true;
}

struct Nearest {
    std::string path; // "": nothing fits
    std::optional<FsTree::Place> place;
};

// The path below `base` (spelled so, found as `place`) nearest `base`
// followed by the components `rest` that `fits`, base itself included
// unless it is a top of the tree.
Nearest nearest_below(FsTree& tree, const std::string& base, const FsTree::Place& place, std::vector<std::string> rest,
                      Fits fits)
{
    Search search(tree, std::move(rest), fits);
    const auto row = search.first_row();
    if (components(base).size() >= 2) {
        search.consider(base, place, row);
    }
    if (place.entry.kind == Kind::directory) {
        std::vector<FsTree::Ino> way{place.entry.ino};
        search.below(base, place.entry.ino, row, way);
    }
    return {search.best, search.best_place};
}

// The nearest path the board has to `path`, which it has not got: below
// the deepest part of it that the board has.
Nearest nearest(FsTree& tree, const std::string& path, Fits fits)
{
    const auto parts = components(path);
    // Down from the root while the board has each part: nothing below the
    // first part it has not got can be there.
    std::size_t depth = 0;
    auto base = found_at(tree, "");
    for (; depth < parts.size(); ++depth) {
        auto deeper = found_at(tree, joined(parts, depth + 1));
        if (!deeper) {
            break;
        }
        base = std::move(deeper);
    }
    if (!base) {
        return {};
    }
    return nearest_below(tree, joined(parts, depth), *base,
                         std::vector<std::string>(parts.begin() + static_cast<std::ptrdiff_t>(depth), parts.end()),
                         fits);
}

// What is wrong with a write= fault on `place` of the sysfs, found at `path`.
std::string problem_with_write(FsTree& tree, const std::string& path, const FsTree::Place& place)
{
    if (place.entry.kind == Kind::directory) {
        const std::string example = nearest_below(tree, path, place, {}, writable).path;
        return "is a directory: write= names the attribute whose writes are to fail" +
               (example.empty() ? std::string() : ", such as " + example);
    }
    if (!writable(place)) {
        // kernfs_fop_open: a file without a store() cannot be opened for writing.
        return "is read-only: opening it for writing fails already (EACCES), fault or not";
    }
    return "";
}

} // namespace

std::string path_fault_problem(const FaultPlan& faults, FsTree& tree)
{
    for (const auto& [kind, path] : faults.path_faults()) {
        const std::string fault = "--fault " + kind + "=" + path + ": ";
        const bool in_dev = path_within(path, "/dev") && path != "/dev";
        const bool in_sys = path_within(path, "/sys") && path != "/sys";
        if (!in_dev && !in_sys) {
            return fault + "names nothing of the board: give an absolute path inside its /dev or /sys";
        }
        if (path.size() >= path_max) {
            return fault + "no path is that long (at most " + std::to_string(path_max - 1) + " bytes)";
        }
        const bool write = kind == "write";
        if (write && in_dev) {
            return fault + "write= fails writes to a sysfs attribute, not to a node (a node's requests fail with "
                           "ioctl=NODE:REQUEST)";
        }
        const auto place = found_at(tree, path);
        if (!place) {
            const std::string what = in_dev ? "node" : write ? "attribute" : "file or directory";
            const Nearest near = nearest(tree, path, write ? is_file : anything);
            if (near.path.empty()) {
                return fault + "the board has no such " + what;
            }
            const bool read_only = write && !writable(*near.place);
            return fault + "the board has no such " + what + "; the nearest is " + near.path +
                   (read_only ? ", which is read-only" : "");
        }
        if (write) {
            if (const std::string problem = problem_with_write(tree, path, *place); !problem.empty()) {
                return fault + problem;
            }
        }
    }
    return "";
}

} // namespace vboard
