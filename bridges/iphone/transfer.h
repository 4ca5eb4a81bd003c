#pragma once
#include <memory>
#include <string>

#include "bridges/iphone/afc_connection.h"
#include "bridges/iphone/iphone_error.h"

namespace lumivane {

struct PhoneContext;

// One "iphone.download": a camera-roll file copied to a local path in 1 MiB
// chunks with one reused buffer, "download" progress at most every 0.1 s plus
// the last chunk, and cancelling by token between chunks.
//
// The copy goes to a temporary file beside the target, which is renamed onto
// the target only once the copy is complete and its length verified. Every
// failure (cancel, short copy, AFC error, local write error) removes the
// temporary file and leaves whatever was at the target untouched.
//
// run() is called on the transfers queue with the transfer's own connection,
// and closes that connection whatever happens.
struct Transfer {
    std::string path;    // DCIM-relative
    std::string target;  // local
    std::string token;
    std::string within;  // when set: the folder the target must stay under, reached without links

    IPhoneResult<std::string> run(PhoneContext& context, const std::shared_ptr<AFCConnection>& connection) const;

private:
    IPhoneResult<std::string> copy(PhoneContext& context, AFCConnection& connection) const;
};

}  // namespace lumivane
