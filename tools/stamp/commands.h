#pragma once
// The stamper's commands. Each writes its report to `out` and throws Failure when it
// refuses or fails, leaving the executable as it was.
#include <ostream>
#include <string>

namespace stamp {

// Appends a block carrying the JSON object in the file `configPath` to `executable`.
void AddBlock(const std::string& executable, const std::string& configPath, std::ostream& out);

// Shows the blocks at the end of `executable` as the installer finds them.
void ListBlocks(const std::string& executable, std::ostream& out);

}  // namespace stamp
