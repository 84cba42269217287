// vltool codec: runs one stage of the block codec, or a whole compression
// kind, over a file, for looking at stored sections and lists by hand.
#include <string>

#include "codec/block_codec.h"
#include "codec/run_length_coder.h"
#include "codec/table_huffman_coder.h"
#include "codec/tree_huffman_coder.h"
#include "core/byte_buffer.h"
#include "vltool/command_registry.h"
#include "vltool/file_io.h"

namespace vltool {
namespace {

constexpr char kUsage[] =
    "vltool codec rle-encode|rle-decode|tree-encode|tree-decode|table-encode|table-decode IN OUT\n"
    "vltool codec compress-section IN OUT   (kind 4 stream)\n"
    "vltool codec decompress KIND IN OUT    (KIND 0 to 4)\n";

using Stage = bool (*)(std::span<const uint8_t>, vl::ByteBuffer*);

// Decoders take a ceiling; the tool uses the default one.
template <bool (*decode)(std::span<const uint8_t>, vl::ByteBuffer*, uint32_t)>
bool withDefaultCeiling(std::span<const uint8_t> in, vl::ByteBuffer* out) {
  return decode(in, out, vl::kMaxDecodedLength);
}

struct StageCommand {
  const char* name;
  Stage run;
  const char* failure;
};

constexpr StageCommand kStages[] = {
    {"rle-encode", vl::RunLengthCoder::encode, "is too large to encode"},
    {"rle-decode", withDefaultCeiling<vl::RunLengthCoder::decode>,
     "is not a valid run-length stream"},
    {"tree-encode", vl::TreeHuffmanCoder::encode,
     "could not be tree-coded (an empty file never can)"},
    {"tree-decode", withDefaultCeiling<vl::TreeHuffmanCoder::decode>,
     "is not a valid tree-coded stream"},
    {"table-encode", vl::TableHuffmanCoder::encode,
     "could not be count-table coded (an empty file never can)"},
    {"table-decode", withDefaultCeiling<vl::TableHuffmanCoder::decode>,
     "is not a valid count-table stream"},
    {"compress-section", vl::compressSection, "could not be compressed"},
};

// Reads IN, applies `run` and writes OUT; `failure` completes "'IN' ..."
// when `run` refuses the input.
template <typename Run>
int transform(const std::string& in_path, const std::string& out_path, const char* failure,
              Run run) {
  vl::ByteBuffer in;
  if (!readWholeFile(in_path, &in)) return fail("cannot read '" + in_path + "'");
  vl::ByteBuffer out;
  if (!run(in.span(), &out)) return fail("'" + in_path + "' " + failure);
  if (!writeWholeFile(out_path, out)) return fail("cannot write '" + out_path + "'");
  return 0;
}

int runCodec(const Args& args) {
  if (args.empty()) return usageError("codec");
  if (args[0] == "decompress") {
    if (args.size() != 4) return usageError("codec");
    const std::string& text = args[1];
    if (text.size() != 1 || text[0] < '0' || text[0] > '4') {
      return fail("unknown compression kind '" + text + "' (0 to 4)");
    }
    const uint8_t kind = static_cast<uint8_t>(text[0] - '0');
    return transform(args[2], args[3], "is not a valid stream of that kind",
                     [kind](std::span<const uint8_t> in, vl::ByteBuffer* out) {
                       return vl::decompress(kind, in, out);
                     });
  }
  for (const StageCommand& stage : kStages) {
    if (args[0] != stage.name) continue;
    if (args.size() != 3) return usageError("codec");
    return transform(args[1], args[2], stage.failure, stage.run);
  }
  return usageError("codec");
}

}  // namespace

VLTOOL_COMMAND_GROUP("codec", kUsage, runCodec);

}  // namespace vltool
