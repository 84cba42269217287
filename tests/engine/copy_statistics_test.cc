#include "engine/copy_statistics.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vl {
namespace {

CopyStatistics numberedCounters() {
  CopyStatistics engine;
  uint32_t n = 1;
  for (uint32_t* counter :
       {&engine.num_files, &engine.num_dir, &engine.num_name_reuse_files,
        &engine.num_restarted_name_reuse_files, &engine.num_read_files, &engine.num_read_errors,
        &engine.num_read_error_reuse, &engine.num_read_error_skipped, &engine.num_empty_files,
        &engine.num_file_reuse_dedup_restart, &engine.num_reuse_prev_copy, &engine.num_new_files,
        &engine.num_new_file_sections, &engine.num_single_sections, &engine.num_section_reuse,
        &engine.num_section_write}) {
    *counter = n++;
  }
  return engine;
}

TEST(StatisticsFile, ByteForByte) {
  test::TempDir dir;
  PipelineStatistics pipeline{17, 18, 19, 3000, 1000};
  ASSERT_TRUE(writeStatistics(pipeline, numberedCounters(), dir.file("stats.txt")));
  EXPECT_EQ(test::readFile(dir.file("stats.txt")),
            "Statistik för senast slutförda kopiering:\n\n"
            "num_files = 1\n"
            "num_dir = 2\n\n"
            "num_name_reuse_files = 3\n"
            "num_restarted_name_reuse_files = 4\n"
            "num_read_files = 5\n"
            "num_read_errors = 6\n"
            "num_read_error_reuse = 7\n"
            "num_read_error_skipped = 8\n"
            "num_empty_files = 9\n"
            "num_file_reuse_dedup_restart = 10\n"
            "num_reuse_prev_copy = 11\n"
            "num_new_files = 12\n\n"
            "num_new_file_sections = 13\n"
            "num_single_sections = 14\n"
            "num_section_reuse = 15\n"
            "num_section_write = 16\n\n"
            "num_compr_sections = 17\n"
            "num_uncompr_sections = 18\n"
            "num_compr_failed = 19\n"
            "total_input_size = 3000\n"
            "total_output_size = 1000\n"
            "compr_ratio = 0.333333\n\n");
}

TEST(StatisticsFile, RatioLineAndLargeSizes) {
  CopyStatistics engine;
  PipelineStatistics pipeline;
  std::string text = statisticsText(pipeline, engine);
  EXPECT_TRUE(text.ends_with("total_output_size = 0\ncompr_ratio = 0\n\n")) << text;

  // Copies beyond 4 GiB show their full sizes; the ratio is single precision
  // (123.456789 in double precision).
  pipeline.total_input_size = 10000000;
  pipeline.total_output_size = 1234567891;
  text = statisticsText(pipeline, engine);
  EXPECT_TRUE(text.ends_with("total_input_size = 10000000\ntotal_output_size = 1234567891\n"
                             "compr_ratio = 123.456795\n\n"))
      << text;
  pipeline.total_input_size = 6ull << 30;
  pipeline.total_output_size = 3ull << 30;
  text = statisticsText(pipeline, engine);
  EXPECT_TRUE(text.ends_with("total_input_size = 6442450944\ntotal_output_size = 3221225472\n"
                             "compr_ratio = 0.500000\n\n"))
      << text;
  engine.num_files = 3000000000u;  // above the signed range: still printed as counted
  EXPECT_NE(statisticsText(pipeline, engine).find("num_files = 3000000000\n"), std::string::npos);
}

}  // namespace
}  // namespace vl
