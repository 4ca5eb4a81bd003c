#pragma once
#include <string>
#include <vector>

#include "tools/transport/host_client.h"

namespace lumivane {

// "lumivanectl import FROM [TO] [options]" and "lumivanectl import --resume
// JOB": starts (or resumes) an import job in the host and follows its
// events with a progress bar showing the rate and the time left, then its
// counts. Without TO, the host's remembered destination (and backup). Ctrl-C
// cancels the job (it can be resumed). Exit status 0 when the job is done, 1
// when it ended otherwise, 3 when the host cannot be reached.
//
// "lumivanectl items FROM": what the device holds as the import engine sees
// it, one line per photo or video with its twin and sidecars, then a count.
//
// FROM is "iphone:UDID", "camera:KEY", "volume:MOUNT-POINT" or a mount point.
struct ImportCommand {
    std::vector<std::string> operands;  // FROM [TO], or JOB with `resume`
    std::string subfolders, rename, backup;
    bool resume = false, all = false, noVerify = false, deleteAfter = false;

    static const char* usage();
    int run(HostClient& client) const;
    int listItems(HostClient& client) const;
};

}  // namespace lumivane
