// Copy statistics: what the last completed copy did, counted by the backup
// engine and the section pipeline, and the text file "stats.txt" that shows
// them.
//
// The file is rewritten after every completed copy. Sizes are 64-bit counts
// printed in full, so a copy of many gigabytes shows its true size. It is a
// text file of this system: UTF-8, lines ending in a line feed.
#pragma once

#include <cstdint>
#include <string>

#include "model/section_record.h"

namespace vl {

inline constexpr char kStatisticsFile[] = "stats.txt";

// Counted by the backup engine and the folder walk.
struct CopyStatistics {
  uint32_t num_files = 0;
  uint32_t num_dir = 0;
  uint32_t num_name_reuse_files = 0;
  uint32_t num_restarted_name_reuse_files = 0;
  uint32_t num_read_files = 0;
  uint32_t num_read_errors = 0;
  uint32_t num_read_error_reuse = 0;
  uint32_t num_read_error_skipped = 0;
  uint32_t num_empty_files = 0;
  uint32_t num_file_reuse_dedup_restart = 0;
  uint32_t num_reuse_prev_copy = 0;
  uint32_t num_new_files = 0;
  uint32_t num_new_file_sections = 0;
  uint32_t num_single_sections = 0;
  uint32_t num_section_reuse = 0;
  uint32_t num_section_write = 0;
};

// Counted over the sections that were sealed.
struct PipelineStatistics {
  uint32_t num_compr_sections = 0;
  uint32_t num_uncompr_sections = 0;
  uint32_t num_compr_failed = 0;
  uint64_t total_input_size = 0;   // plain bytes
  uint64_t total_output_size = 0;  // bytes after compression
};

// Counts one sealed section.
void countSealedSection(PipelineStatistics& pipeline, const SectionStats& sealed);

// The contents of "stats.txt" for these counters.
std::string statisticsText(const PipelineStatistics& pipeline, const CopyStatistics& engine);
// Writes "stats.txt" (or `path`). Failures are not reported to the user, but
// the result says whether the file was written.
bool writeStatistics(const PipelineStatistics& pipeline, const CopyStatistics& engine,
                     const std::string& path = kStatisticsFile);

}  // namespace vl
