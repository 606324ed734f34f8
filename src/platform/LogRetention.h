#pragma once
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace norvane {

// Months of logs kept when `[sitef] log_retention_months` is absent: a year, long enough to
// answer a customer's dispute or a chargeback about any sale of it. At 500 sales a day the
// TEF log alone is about 2 GB a year.
inline constexpr int kDefaultLogRetentionMonths = 12;

// Removes the month folders of the service's logs under `log_folder` that are older than the
// last `months` months (the current month is one of them): a service-log folder named as
// GravaLog names them ("Dezembro-2026", in the LC_TIME language) or a TEF-log folder
// ("12-2026"). Inside such a folder only the service's own files go (the service log's
// "NorvaneSiTefService dd-mm-yyyy.log" and the TEF log's "TEF-dd-mm-yyyy.log"), then the
// folder itself if that left it empty; anything else under `log_folder`, and the folders in
// `keep` (the TEF log still being written), stay. `months` of 0 or less keeps everything.
// Each folder removed is logged; the folders removed are returned.
std::vector<std::string> apply_log_retention(const std::string& log_folder, int months, TimePoint now,
                                             const std::vector<std::string>& keep = {});

}  // namespace norvane
