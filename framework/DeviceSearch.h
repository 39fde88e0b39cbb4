#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "DeviceInfo.h"

// What the search reports while it runs; the GUI shows it in its log and
// progress bar, the command line on standard error.
class SearchSink {
public:
    virtual ~SearchSink() = default;
    // Appends to the log, on a new line or on the current one.
    virtual void Log(const std::string& text, bool newLine) = 0;
    // The progress range is 0..total; the timer runs from here until ProgressStop.
    virtual void ProgressStart(std::int32_t total) = 0;
    // A family asks the user for a target: the timer pauses meanwhile.
    virtual void ProgressPause() = 0;
    virtual void ProgressResume() = 0;
    // The search is over; the bar returns to 0.
    virtual void ProgressStop() = 0;
    // A module's image was read; moduleText is the family's own display text.
    virtual void ModuleFound(const CDeviceInfo& /*info*/, const std::string& /*moduleText*/) {}
    // A family could not look for its instruments (the row's name, the reason);
    // the reason is also logged on a line of its own.
    virtual void FamilyProblem(const std::string& /*family*/, const std::string& /*reason*/) {}
};

inline constexpr const char* kNotFoundText = " CANNOT FIND ACTIVE DEVICE!!!";
// Logged on a new line when a search was stopped before its end.
inline constexpr const char* kStoppedText = "Search stopped.";

class FamilyRegistry;
struct _DeviceInfo;

// Total progress weight of a search list: each name's registry weight, plus the
// Orvel row's weight for every name that row covers.
std::int32_t TotalSearchWeight(const FamilyRegistry& registry, const std::vector<std::string>& searchList);
std::int32_t TotalSearchWeight(const std::vector<_DeviceInfo>& rows, const std::vector<std::string>& searchList);

// Runs one search over the registry for the names in the search list, in
// registry order, and returns the modules whose identity image was read.
// When the stop signal is raised (StopCurrentJob, Job.h) the search ends at
// its next wait or transfer boundary: the family it is in still gets
// CloseModule and Disconnect, no later family is visited, the modules read so
// far are returned and kStoppedText is logged.
std::vector<CDeviceInfo> RunDeviceSearch(const FamilyRegistry& registry, const std::vector<std::string>& searchList,
                                         SearchSink& sink);

// The same over the given rows.
std::vector<CDeviceInfo> RunDeviceSearch(const std::vector<_DeviceInfo>& rows,
                                         const std::vector<std::string>& searchList, SearchSink& sink);
