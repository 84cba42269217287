// The working directory's one-value state files: flags and times that the
// interactive program, a background run and later starts leave for each other.
//
// Each is a buffer file. A file that is missing, unreadable or too short for
// its value is absent, and each reader says what absent means for it. Every
// function takes the file's name, by default the bare name in the working
// directory (the current directory once the system object exists).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vl {

inline constexpr char kGuiOnFile[] = "gui_on.bin";
inline constexpr char kWindowFile[] = "wnd.bin";
inline constexpr char kCancelFile[] = "cf.bin";
inline constexpr char kAutoStartFile[] = "auto.bin";
inline constexpr char kFirstCopyAdviceFile[] = "scr_msg.bin";
inline constexpr char kQuotaErrorFile[] = "quota_error.bin";
inline constexpr char kRecoveryCheckFile[] = "rec_ctrl.bin";
inline constexpr char kAccountFlagFile[] = "acc.bin";

// "gui_on.bin", u32: 1 = the interactive program holds the instance lock,
// 0 = a background run does or nobody runs. Absent: nothing (who runs cannot
// be told).
std::optional<uint32_t> readGuiOn(const std::string& path = kGuiOnFile);
bool writeGuiOn(uint32_t value, const std::string& path = kGuiOnFile);

// "wnd.bin", u32: the low 32 bits of the main window's handle. Absent: nothing.
std::optional<uint32_t> readWindowHandle(const std::string& path = kWindowFile);
bool writeWindowHandle(uint32_t handle, const std::string& path = kWindowFile);

// "cf.bin", u8: 1 asks the running copy to stop. Absent: no request.
bool readCancelRequest(const std::string& path = kCancelFile);
bool writeCancelRequest(bool cancel, const std::string& path = kCancelFile);

// "auto.bin", u8: 1 = the last backup started was automatic. Absent: 0.
uint8_t readAutoStarted(const std::string& path = kAutoStartFile);
bool writeAutoStarted(uint8_t automatic, const std::string& path = kAutoStartFile);

// "scr_msg.bin", u8 1: present once the first-copy advice has been shown.
bool firstCopyAdviceShown(const std::string& path = kFirstCopyAdviceFile);
bool markFirstCopyAdviceShown(const std::string& path = kFirstCopyAdviceFile);

// "quota_error.bin", u8: 1 = the last run stopped at the server quota. Absent: 0.
uint8_t readQuotaError(const std::string& path = kQuotaErrorFile);
bool writeQuotaError(uint8_t stopped, const std::string& path = kQuotaErrorFile);

// "rec_ctrl.bin", u32: when (seconds since 1970) the user last confirmed that
// the recovery file still exists. Absent: 0, the reminder is due.
uint32_t readRecoveryCheckTime(const std::string& path = kRecoveryCheckFile);
bool writeRecoveryCheckTime(uint32_t time, const std::string& path = kRecoveryCheckFile);

// "acc.bin", u8: 1 after account creation, 0 or 1 after a recovery. The
// client only writes it; the reader is for inspection tools.
std::optional<uint8_t> readAccountFlag(const std::string& path = kAccountFlagFile);
bool writeAccountFlag(uint8_t flag, const std::string& path = kAccountFlagFile);

}  // namespace vl
