// From the names on the command line to the recordings a run reads:
// wildcards where no shell expanded them, folders, and part files named
// beside their recording.
#pragma once

#include <string>
#include <vector>

namespace varnek {

// Every argument after the program's name that does not begin with '-' and
// holds '*' or '?' is replaced by the paths that match it, as a shell
// would, sorted in byte order; a pattern that matches nothing stays as it
// is. With windows_names, '\' separates folders as '/' does, and a drive
// letter may lead.
std::vector<std::string> expand_wildcards(const std::vector<std::string>& arguments, bool windows_names);

// True for the name of a recording in a folder: it ends in .ts, .trp or
// .rec, in any case.
bool is_recording_name(const std::string& name);

// The names in order, each folder replaced by the recordings below it, in
// sub-folders too, sorted by path in byte order. A recording is a regular
// file (or a link to one) with a recording's name; links to folders are not
// followed. A folder that cannot be read stays as it is named, so that the
// run reports it as it reports any name it cannot open.
std::vector<std::string> expand_folders(const std::vector<const char*>& names);

// True when name is a part file of another recording: an existing file's
// name followed by a part number k whose parts 1 to k - 1 exist too, so that
// the scan of that file reads it. The longest number is tried first.
bool part_file_of(const char* name, std::string& whole);

// For each name of an existing part file, the other name on the list whose
// part file it is (the same text, or the same file under another name);
// else an empty text.
std::vector<std::string> recordings_read_with(const std::vector<std::string>& names);

// The progress line "[n/N] name", cut to fit columns (0: no limit) by
// leaving out the front of the name.
std::string progress_line(size_t number, size_t total, const std::string& name, unsigned columns);

}  // namespace varnek
