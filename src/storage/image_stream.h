// The image writer and reader over any byte sink or source (byte_sink.h,
// byte_source.h): memory for serialize and deserialize, files for save and
// load.
#pragma once

#include "storage/format.h"

namespace korvane {

// Writes the whole image; cannot fail (a file sink latches write failures).
template <class Sink>
void writeImage(const Index& index, const ByteView* node_metadata, Sink& sink);

// Exact size of the image writeImage produces.
std::size_t imageSize(const Index& index, const ByteView* node_metadata);

// On success `out` owns everything; on failure nothing is left allocated.
template <class Source>
Error readImage(Source& source, LoadedIndex& out);

}  // namespace korvane
