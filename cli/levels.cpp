#include "cli/levels.h"

int LevelsCommand(const std::vector<std::string>&, std::ostream&, std::ostream& err) {
  err << "needlerec-cli levels: not available yet\n";
  return 1;
}
