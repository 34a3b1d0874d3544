// The offer, made once at launch, to move the application bundle into an Applications folder,
// and the two small helpers it uses.
#pragma once

#include <string>
#include <string_view>

namespace lumsift {

// Offers the move unless the user has turned it off, the program does not run from a bundle
// (a folder named "<name>.app" holding Contents/MacOS), the bundle already lies in an Applications
// folder, or the bundle and its destination lie one inside the other (a log line). Main thread
// only, with a QApplication alive; blocks while its alerts and the tools it waits for run. Returns
// when no offer is made, when the user declines or cancels the administrator prompt, and after the
// failure alert; no desktop entry is written then. After a move (the desktop entry now starting the
// moved bundle), or when it switches to a copy already running at the destination, it does not
// return: the process ends with status 0.
void OfferMoveToApplicationsFolder();

// Moves the file or folder at `path` (borrowed) to the user's Trash. Returns false, after the log
// line "ERROR -- Could not trash '<path>'", when that fails.
bool TrashItemAtPath(std::string_view path);

// `text` as one word for /bin/sh: in single quotes, each single quote inside written '\''.
// Never fails.
std::string QuoteForShell(std::string_view text);

} // namespace lumsift
