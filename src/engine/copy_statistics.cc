#include "engine/copy_statistics.h"

#include <cinttypes>
#include <cstdio>

#include "platform/atomic_file.h"

namespace vl {

void countSealedSection(PipelineStatistics& pipeline, const SectionStats& sealed) {
  if (sealed.compressed) {
    ++pipeline.num_compr_sections;
  } else {
    ++pipeline.num_uncompr_sections;
  }
  if (sealed.compressionUseless) ++pipeline.num_compr_failed;
  pipeline.total_input_size += sealed.plainLength;
  pipeline.total_output_size += sealed.storedLength;
}
namespace {

void line(std::string* out, const char* format, uint64_t value) {
  char text[96];
  int length = std::snprintf(text, sizeof text, format, value);
  if (length > 0) out->append(text, static_cast<size_t>(length));
}

}  // namespace

std::string statisticsText(const PipelineStatistics& pipeline, const CopyStatistics& engine) {
  std::string out = "Statistik för senast slutförda kopiering:\n\n";
  line(&out, "num_files = %" PRIu64 "\n", engine.num_files);
  line(&out, "num_dir = %" PRIu64 "\n\n", engine.num_dir);
  line(&out, "num_name_reuse_files = %" PRIu64 "\n", engine.num_name_reuse_files);
  line(&out, "num_restarted_name_reuse_files = %" PRIu64 "\n",
       engine.num_restarted_name_reuse_files);
  line(&out, "num_read_files = %" PRIu64 "\n", engine.num_read_files);
  line(&out, "num_read_errors = %" PRIu64 "\n", engine.num_read_errors);
  line(&out, "num_read_error_reuse = %" PRIu64 "\n", engine.num_read_error_reuse);
  line(&out, "num_read_error_skipped = %" PRIu64 "\n", engine.num_read_error_skipped);
  line(&out, "num_empty_files = %" PRIu64 "\n", engine.num_empty_files);
  line(&out, "num_file_reuse_dedup_restart = %" PRIu64 "\n", engine.num_file_reuse_dedup_restart);
  line(&out, "num_reuse_prev_copy = %" PRIu64 "\n", engine.num_reuse_prev_copy);
  line(&out, "num_new_files = %" PRIu64 "\n\n", engine.num_new_files);
  line(&out, "num_new_file_sections = %" PRIu64 "\n", engine.num_new_file_sections);
  line(&out, "num_single_sections = %" PRIu64 "\n", engine.num_single_sections);
  line(&out, "num_section_reuse = %" PRIu64 "\n", engine.num_section_reuse);
  line(&out, "num_section_write = %" PRIu64 "\n\n", engine.num_section_write);
  line(&out, "num_compr_sections = %" PRIu64 "\n", pipeline.num_compr_sections);
  line(&out, "num_uncompr_sections = %" PRIu64 "\n", pipeline.num_uncompr_sections);
  line(&out, "num_compr_failed = %" PRIu64 "\n", pipeline.num_compr_failed);
  line(&out, "total_input_size = %" PRIu64 "\n", pipeline.total_input_size);
  line(&out, "total_output_size = %" PRIu64 "\n", pipeline.total_output_size);
  if (pipeline.total_input_size != 0) {
    // The ratio is worked out in single precision, as the file always showed it.
    const float ratio = static_cast<float>(pipeline.total_output_size) /
                        static_cast<float>(pipeline.total_input_size);
    char text[64];
    int length = std::snprintf(text, sizeof text, "compr_ratio = %f\n\n", static_cast<double>(ratio));
    if (length > 0) out.append(text, static_cast<size_t>(length));
  } else {
    out += "compr_ratio = 0\n\n";
  }
  return out;
}

bool writeStatistics(const PipelineStatistics& pipeline, const CopyStatistics& engine,
                     const std::string& path) {
  const std::string text = statisticsText(pipeline, engine);
  AtomicFileWriter writer;
  return writer.open(path) && writer.write(text.data(), text.size()) && writer.commit();
}

}  // namespace vl
