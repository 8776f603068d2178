#include "kelvane/fault.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

namespace kelvane {

Fault::Fault(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

namespace {

// The thread's name as the system knows it (the process name for the main
// thread), and its kernel id, so a report from a thread pool can be told apart.
std::string thread_label() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        std::snprintf(name, sizeof name, "<unnamed>");
    }
    const long tid = static_cast<long>(::syscall(SYS_gettid));
    // Built by appending only: GCC 12 at -O3 misreads `"'" + std::string(...)`
    // (an insert at position 0) as an overlapping copy and warns.
    std::string label = "'";
    label += name;
    label += "' (tid ";
    label += std::to_string(tid);
    label += ")";
    return label;
}

}  // namespace

void report_fault(const std::string& message, const std::source_location& where,
                  const std::string& detail) {
    std::string report = "thread " + thread_label() + " faulted at " + where.file_name() + ":" +
                         std::to_string(where.line()) + ":" + std::to_string(where.column()) +
                         ":\n" + message + "\n";
    if (!detail.empty()) report += detail + "\n";
    // One write, so that reports from several threads do not interleave.
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
}

void fault(std::string message, std::source_location where) {
    report_fault(message, where);
    throw Fault(std::move(message), where);
}

}  // namespace kelvane
