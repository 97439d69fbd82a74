// Writing search results as TSV or JSON lines.
#pragma once

#include <cstdio>

#include "library.h"

namespace korvane::tool {

// One line per result: query row, rank (1 = best), id, score; after a header.
void writeTsv(std::FILE* out, const SearchResults& results);

// One line per query: {"query": q, "ids": [...], "scores": [...]}.
void writeJsonLines(std::FILE* out, const SearchResults& results);

}  // namespace korvane::tool
