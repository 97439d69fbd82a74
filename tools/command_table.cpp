#include "commands.h"

namespace korvane::tool {

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"demo", "build, save, reload and search a built-in data set; print a short report", runDemo},
        {"generate", "write the built-in clustered data set to vector files", runGenerate},
        {"build", "build an index file from a vector file", runBuild},
        {"search", "search an index file with queries from a vector file", runSearch},
        {"eval", "measure recall@k and queries/s over a sweep of ef_search", runEval},
        {"info", "describe what an index file holds", runInfo},
        {"remove", "remove the ids listed in a file from an index file", runRemove},
        {"compact", "rebuild an index file over the vectors it still holds", runCompact},
    };
    return table;
}

}  // namespace korvane::tool
