// The byte layout of an index file: the values, offsets and sizes of its
// fields. It depends on nothing, so the library's reader and writer and the
// korvane tool's `info` command take their numbers from this one place;
// docs/file-format.md describes the same layout for readers in other
// languages. Every integer is little-endian, with no padding anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// Header: magic, three shape fields, then what varies from file to file.
// An index of the default shape (256-d, inner product) is written under
// kMagic exactly as it always was. Every other shape is written under
// kShapedMagic, which a reader of the default shape refuses as a bad magic,
// so such a file can never be taken for a 256-d inner-product index.
constexpr std::uint8_t kMagic[4] = {'T', 'Q', 'X', '5'};
constexpr std::uint8_t kShapedMagic[4] = {'T', 'Q', 'X', '6'};
constexpr std::uint32_t kFileDim = 256;           // components per vector
constexpr std::uint32_t kFileDegree = 32;         // neighbour slots per node and layer
constexpr std::uint32_t kFileRoutingBits = 1024;  // bits per routing code
constexpr std::size_t kHeaderDimAt = 4;
constexpr std::size_t kHeaderDegreeAt = 8;
constexpr std::size_t kHeaderRoutingBitsAt = 12;
constexpr std::size_t kHeaderNodeCountAt = 16;      // u64 n: nodes ever added
constexpr std::size_t kHeaderEfConstructionAt = 24;  // u64
constexpr std::size_t kHeaderEntryPointAt = 32;      // u64 node number
constexpr std::size_t kHeaderLayerCountAt = 40;      // u32
constexpr std::size_t kHeaderRawModeAt = 44;         // u8, one of the kRawMode values
constexpr std::size_t kHeaderCalibratedAt = 45;      // u8, nonzero: calibration block follows
constexpr std::size_t kHeaderBytes = 46;
constexpr std::uint32_t kMaxLayers = 32;  // levels 0 .. 31

// Shaped files: the header's dimension is 1 .. 4096 and its calibration
// byte 0, and a shape block follows it in place of the calibration and
// matrix blocks: u32 metric (0 inner product, 1 cosine, 2 Euclidean), u64
// seed (the matrices are drawn from it again on loading), u8 centred (1
// only for a Euclidean index that has a centre), then with centred the
// centre, `dim` f32. Payload records and raw copies cover `dim` components;
// a Euclidean file has, after the raw block, one f32 squared length per node.
constexpr std::uint32_t kMaxFileDim = 4096;
constexpr std::size_t kShapeBlockBytes = 4 + 8 + 1;
constexpr std::uint32_t kFileMetricCount = 3;
constexpr std::uint32_t kFileMetricEuclidean = 2;

// What the raw block holds per node.
constexpr std::uint8_t kRawModeNone = 0;
constexpr std::uint8_t kRawModeF32 = 1;  // dim f32
constexpr std::uint8_t kRawModeI8 = 2;   // dim i8, then (after all nodes) one f32 scale each

constexpr std::size_t rawBytesPerNode(std::uint8_t raw_mode, std::size_t dim = kFileDim) {
    return raw_mode == kRawModeF32 ? dim * 4 : raw_mode == kRawModeI8 ? dim + 4 : 0;
}

// Fixed blocks: calibration mean and deviation, then the two matrices.
constexpr std::size_t kCalibrationBytes = 2 * kFileDim * 4;
constexpr std::size_t kRotationBytes = kFileDim * kFileDim * 4;
constexpr std::size_t kProjectionBytes = kFileRoutingBits * kFileDim * 4;
constexpr std::size_t kMatrixBytes = kRotationBytes + kProjectionBytes;

// Payload record, one per node in node order.
constexpr std::size_t kPayloadCodesAt = 8;  // after the u64 id
constexpr std::size_t kCodeGroupBytes = 3;   // eight 3-bit codes
constexpr std::size_t kPayloadSigmaAt = 104;
constexpr std::size_t kPayloadMuAt = 108;
constexpr std::size_t kPayloadGammaAt = 112;
constexpr std::size_t kPayloadRecordBytes = 116;
// Any dimension: the id, ceil(dim / 8) groups, then sigma, mu and gamma.
constexpr std::size_t fileCodeGroups(std::size_t dim) { return (dim + 7) / 8; }
constexpr std::size_t payloadRecordBytes(std::size_t dim) { return kPayloadCodesAt + kCodeGroupBytes * fileCodeGroups(dim) + 12; }
static_assert(payloadRecordBytes(kFileDim) == kPayloadRecordBytes);

// Node record of a layer: u64 node number, routing code, u32 neighbour
// count, then that many u64 node numbers.
constexpr std::size_t kNodeNumberBytes = 8;
constexpr std::size_t kCodeBytes = kFileRoutingBits / 8;
constexpr std::size_t kNodeCodeAt = kNodeNumberBytes;
constexpr std::size_t kNodeNeighborCountAt = kNodeCodeAt + kCodeBytes;
constexpr std::size_t kNodeRecordBaseBytes = kNodeNeighborCountAt + 4;

// The u64 counts that open each layer section and the removal list (whose
// entries are node numbers), and the u16 length of a metadata entry.
constexpr std::size_t kCountBytes = 8;
constexpr std::size_t kMetadataLengthBytes = 2;
constexpr std::size_t kMaxMetadataBytes = 65535;

static_assert(kPayloadCodesAt + kFileDim / 8 * kCodeGroupBytes == kPayloadSigmaAt);
static_assert(kPayloadGammaAt + 4 == kPayloadRecordBytes);
static_assert(kHeaderCalibratedAt + 1 == kHeaderBytes);
static_assert(kNodeRecordBaseBytes == 140);

}  // namespace korvane
