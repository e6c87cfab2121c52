#pragma once

// Whether the path faults of a plan (absent=, deny=, write=) name something
// of the board: one that names a file the board has not got would never
// fire, and a test of the program's failure path would pass untested. The
// paths are looked up in the board's own tree (fs/tree.hpp), laid out as a
// program can find it at some point of a run, so that no second list of the
// board's paths is kept to drift from it.
//
// A path the board has not got is refused with the nearest one it has:
// below the deepest part of the path that the board has, spelled as given
// (a /sys/class path gets a /sys/class answer), the path with the fewest
// edits of single characters (Levenshtein distance) to the rest; for
// write=, only attributes that can be written count; ties go to the first
// in the directories' order. write= is refused on what no write fault can
// reach: a directory, a node, a read-only file.

#include <string>

namespace vboard {

class FaultPlan;
class FsTree;

// What is wrong with the path faults of `faults` on a board whose tree,
// without faults and with every file that appears while it runs, is
// `tree`; or "".
std::string path_fault_problem(const FaultPlan& faults, FsTree& tree);

} // namespace vboard
