#pragma once

#include <QString>

#include "base/http_transfer.h"
#include "platform/platform.h"

namespace platform {

// Why a file did not arrive whole, or was not kept.
enum class BodyFault {
    None,
    Transport,       // no connection, or it broke before any of the body
    Status,          // an answer other than 200
    Encoded,         // a Content-Encoding that was not asked for
    WebPage,         // text/html: a log-in page of a hotel network, an error page
    Empty,           // no bytes
    Partial,         // fewer bytes than announced, or the connection broke part-way
    EndedByClose,    // neither a length nor a chunked end: completeness cannot be told
    TooLong,         // more bytes than announced or than there is room for
    SizeMismatch,    // not the size the service declared
    HashMismatch,    // not the SHA-256 the service declared
    BadDeclaration,  // the declared size or hash is not a valid one
    NoRoom,          // not enough free space on the card
    Storage,         // the file could not be written
    WriteProtected,  // the card refuses writes: its lock switch is on
    CardBusy,        // another program is writing into the same card folder
    CardEnding,      // a closed copy of this program, kept by a stuck call, still holds it
    NotACard,        // the card info file's name is taken by a folder, a link or a pipe
    OtherCard,       // the drive now holds another card than the one the download checked
    ReadBack,        // the card gave back other bytes than were written
    Cancelled,       // the user stopped it
};

// Refusals that the head alone decides.
BodyFault judgeHead(const ResponseHead& head);
// A finished transfer: whole only with status 200, neither encoded nor a web page, not
// empty, and complete by its Content-Length or its chunked end. A body ended only by the
// connection closing counts when the caller can check a declared size and hash.
BodyFault judgeBody(const TransferOutcome& outcome, bool declaredSizeAndHash);

// Streams url into targetPath through libcurl. The target is replaced only when the whole
// body has arrived (judgeBody, with nothing declared); on any failure it keeps its old
// content.
DownloadResult downloadUrlToFile(const QString& url, const QString& targetPath,
                                 const DownloadOptions& options);

}  // namespace platform
