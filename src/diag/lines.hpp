#pragma once

// Every failure and information line the updater prints, declared once:
// function name, number, cause class and text. A report site names its line
// (diag::fail(lines::noCapFile)); a new line is one declaration here and one
// row of `all` below, and a row in docs/operations.md, which the
// documentation tests check against this table.
//
// The numbers are part of the output that calling services parse. No two
// lines share a function name and number (checked below).

#include "diag/line.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace lines
{

using diag::Cause;
using diag::Fail;
using diag::Info;

// Texts that more than one line prints.
inline constexpr const char* callFailed = "Exception making DBus call: %s";
inline constexpr const char* eventLogFailed =
    "Exception writing an event log: %s";
inline constexpr const char* listUnchanged = "Task list left unchanged: %s";
inline constexpr const char* argumentsFailed =
    "Exception parsing arguments: %s";
inline constexpr const char* exportFailed =
    "Exception calling Export BIOS Config: %s";
inline constexpr const char* jobNotFound = "Job ID not found";
inline constexpr const char* notInteger =
    "Exception converting string to integer: %s";

// The command line.
inline constexpr Fail<const char*> exportThrew{"main", 716, Cause::taskList,
                                               exportFailed};
inline constexpr Fail<const char*> forceExportThrew{
    "main", 735, Cause::taskList, exportFailed};
inline constexpr Fail<const char*> importThrew{
    "main", 757, Cause::taskList, "Exception calling Import BIOS Config: %s"};
inline constexpr Fail<const char*> jobStatusOperand{
    "main", 777, Cause::operands, argumentsFailed};
inline constexpr Fail<const char*> updateOperand{"main", 801, Cause::operands,
                                                 argumentsFailed};
inline constexpr Fail<const char*> statusOperands{"main", 830, Cause::operands,
                                                  argumentsFailed};

// Whatever a sub-command's own handlers leave uncaught (memory running out
// outside their guarded steps): the sub-command's name and the exception.
inline constexpr Fail<const char*, const char*> exceptionEscaped{
    "main", 990, Cause::bmcState, "Exception escaping %s: %s"};

// The software object of a received image.
inline constexpr Fail<const char*> jobIdUnread{"getJobID", 147, Cause::bus,
                                               callFailed};
inline constexpr Fail<const char*> filePathUnread{"getCommonFilePath", 65,
                                                  Cause::bus, callFailed};
inline constexpr Fail<const char*> versionUnread{"getVersion", 124, Cause::bus,
                                                 callFailed};
inline constexpr Fail<const char*> releaseTypeRefused{
    "setReleaseType", 92, Cause::bus,
    "Unable to set releaseType for Version Id %s"};
inline constexpr Fail<const char*> releaseTypeThrew{"setReleaseType", 98,
                                                    Cause::bus, callFailed};
inline constexpr Fail<const char*> stagedRefused{
    "setVersionIdStaged", 242, Cause::bus,
    "Unable to set Version Id %s to Staged"};
inline constexpr Fail<const char*> stagedThrew{"setVersionIdStaged", 248,
                                               Cause::bus, callFailed};

// The update.
inline constexpr Fail<> noImageLocation{"startUpdate", 258, Cause::bus,
                                        "Unable to get Image location"};
inline constexpr Fail<> noImageVersion{"startUpdate", 265, Cause::bus,
                                       "Unable to get Image version"};
inline constexpr Fail<> noImagePath{"startUpdate", 272, Cause::unwrap,
                                    "Unable to get Image Path"};
inline constexpr Fail<const char*> payloadThrew{
    "getPayload", 169, Cause::unwrap, "Exception getting payload: %s"};
inline constexpr Info<const char*> capFile{"startUpdate", 292, "cap_file = %s"};
// A capsule that is there but could not be copied into any private place:
// each place tried and why ("/tmp: No space left on device; ...").
inline constexpr Fail<const char*> capsuleNotCopied{
    "startUpdate", 922, Cause::bmcState, "Capsule not copied: %s"};
inline constexpr Fail<> notDecompressed{"startUpdate", 297, Cause::unwrap,
                                        "Failed to decompress BIOS Cap file"};
inline constexpr Info<> decompressed{"startUpdate", 301,
                                     "Decompressed BIOS Cap file"};
inline constexpr Fail<> notVerified{"startUpdate", 307, Cause::manifest,
                                    "Failed to verify BIOS FW with QRX"};
inline constexpr Fail<const char*> failedEventThrew{
    "startUpdate", 321, Cause::eventLog, "Exception writing event log: %s"};
inline constexpr Info<> verified{"startUpdate", 327,
                                 "Verified BIOS FW with QRX"};
inline constexpr Info<unsigned> releaseType{"startUpdate", 331,
                                            "Release Type = 0x%02x"};
inline constexpr Fail<> releaseTypeNotSet{
    "startUpdate", 336, Cause::bus, "Failed to set release type of BIOS FW"};
inline constexpr Info<> releaseTypeSet{"startUpdate", 340,
                                       "Set release type of BIOS FW"};
inline constexpr Fail<const char*> verifyThrew{
    "startUpdate", 345, Cause::manifest,
    "Exception with QRX verifying FW manifest: %s"};
inline constexpr Fail<const char*> stagingNotMade{
    "startUpdate", 354, Cause::staging, "Failed creating directory %s"};
inline constexpr Fail<const char*> stagingThrew{
    "startUpdate", 360, Cause::staging, "Exception creating directory: %s"};
inline constexpr Fail<const char*> payloadNotCopied{
    "startUpdate", 372, Cause::staging, "Exception copying payload: %s"};
inline constexpr Fail<const char*> updateTaskThrew{
    "startUpdate", 382, Cause::taskList,
    "Exception creating BIOS Update Task: %s"};
inline constexpr Fail<> notStaged{"startUpdate", 388, Cause::bus,
                                  "Unable to set Image to Staged"};
inline constexpr Fail<const char*> startEventThrew{
    "startUpdate", 402, Cause::eventLog, eventLogFailed};
inline constexpr Fail<const char*> updateNotStarted{
    "startUpdate", 920, Cause::lock, "Update not started: %s"};
inline constexpr Fail<const char*> updateListLocked{"startUpdate", 921,
                                                    Cause::lock, listUnchanged};

// Unwrapping and decompressing the capsule.
inline constexpr Fail<> noScratchArea{"uncompressBiosCapFile", 47,
                                      Cause::bmcState,
                                      "Cannot create BIOS scratchpad."};
inline constexpr Fail<> noCapFile{"uncompressBiosCapFile", 53, Cause::unwrap,
                                  "Could not find cap file."};
inline constexpr Fail<> uefiHeaderNotSkipped{
    "uncompressBiosCapFile", 59, Cause::unwrap,
    "Failed to skip UEFI CAP header of the CAP file.\n"};
inline constexpr Fail<> capFileUnread{
    "uncompressBiosCapFile", 63, Cause::unwrap, "Failed to read Cap file."};
inline constexpr Fail<> noRbuInCapFile{
    "uncompressBiosCapFile", 69, Cause::unwrap,
    "Invalid Cap file: no RBU after UEFI header."};
inline constexpr Fail<> rbuNotSkipped{
    "uncompressBiosCapFile", 76, Cause::unwrap,
    "Failed to skip UEFI CAP header and RBU in the CAP file.\n"};
inline constexpr Fail<> noCopyBuffer{
    "uncompressBiosCapFile", 83, Cause::bmcState,
    "Failed to allocate buffer to copy Cap file into compressed header "
    "file."};
inline constexpr Fail<> compressedNotOpened{
    "uncompressBiosCapFile", 89, Cause::bmcState, "Failed to open bios.lzma."};
// The class of a failed decompression is the capsule's unless the run
// finds the BMC at fault (audit::noteCause).
inline constexpr Fail<> decompressorFailed{
    "uncompressBiosCapFile", 121, Cause::unwrap,
    "Failure #1 in decompress bios.lzma."};
// Why xz did not start, said before decompressorFailed: a required layer of
// its confinement (name, error text, errno), or the start itself (program,
// error text, errno).
inline constexpr Fail<const char*, const char*, int> confinementFailed{
    "uncompressBiosCapFile", 117, Cause::bmcState,
    "Decompressor confinement %s could not be set up: %s (errno %d)"};
inline constexpr Fail<const char*, const char*, int> decompressorNotStarted{
    "uncompressBiosCapFile", 119, Cause::bmcState,
    "Could not start %s: %s (errno %d)"};
inline constexpr Fail<> decompressorNotForked{
    "uncompressBiosCapFile", 127, Cause::bmcState,
    "Failure #2 in decompress bios.lzma."};
inline constexpr Fail<> imageNotOpened{
    "uncompressBiosCapFile", 135, Cause::unwrap,
    "Failed to open uncompressed header file."};

// Verifying the image.
inline constexpr Fail<> imageSeekFailed{"verifyBiosImage", 159, Cause::manifest,
                                        "Header file seek fails."};
inline constexpr Fail<> rbuUnread{"verifyBiosImage", 164, Cause::manifest,
                                  "Read RBU header fails."};
inline constexpr Fail<> noRbuInImage{"verifyBiosImage", 169, Cause::manifest,
                                     "No RBU at BOF of header files."};
inline constexpr Fail<> imageRbuNotSkipped{
    "verifyBiosImage", 175, Cause::manifest, "Header file fails to skip RBU."};
inline constexpr Fail<> manifestRefused{"verifyBiosImage", 184, Cause::manifest,
                                        "Failed in verifying manifest."};
inline constexpr Info<> manifestVerified{"verifyBiosImage", 188,
                                         "Manifest verified successfully."};
inline constexpr Fail<> signatureRefused{
    "verifyBiosImage", 196, Cause::signature,
    "Failed in verifying signature of header file."};
inline constexpr Info<> signatureVerified{"verifyBiosImage", 200,
                                          "Signature verified successfully."};
inline constexpr Fail<> noReleaseType{
    "verifyBiosImage", 206, Cause::manifest,
    "Failed to get release type from manifest."};
inline constexpr Fail<> noPublicKey{"signature_verify", 236, Cause::signature,
                                    "Failed to load pub key for BIOS image."};
inline constexpr Fail<> noDigestContext{
    "signature_verify", 243, Cause::signature,
    "Failed to create signature verifying context."};
inline constexpr Fail<> digestInitFailed{"signature_verify", 249,
                                         Cause::signature,
                                         "Failed in EVP_DigestVerifyInit()."};
inline constexpr Fail<> imageStartUnreached{
    "signature_verify", 256, Cause::signature, "Failed to seek to BOF."};
inline constexpr Fail<> noDigestBuffer{
    "signature_verify", 262, Cause::signature,
    "Failed to allocate buffer for signature verification."};
inline constexpr Fail<> imageDataUnread{"signature_verify", 280,
                                        Cause::signature,
                                        "Failed in reading BIOS image data."};
inline constexpr Fail<> digestUpdateFailed{
    "signature_verify", 286, Cause::signature,
    "Failed in EVP_DigestVerifyUpdate()."};
inline constexpr Fail<> signatureUnread{"signature_verify", 296,
                                        Cause::signature,
                                        "Failed to read BIOS image signature."};
inline constexpr Fail<> digestFinalFailed{"signature_verify", 302,
                                          Cause::signature,
                                          "Failed in EVP_DigestVerifyFinal()."};

// Configuration jobs.
inline constexpr Fail<const char*> exportListLocked{"exportBIOSConfig", 901,
                                                    Cause::lock, listUnchanged};
inline constexpr Fail<const char*> importListLocked{"importBIOSConfig", 902,
                                                    Cause::lock, listUnchanged};

// Job status and progress.
inline constexpr Fail<const char*> lookupThrew{"getObjPathServNameFromJobId",
                                               221, Cause::bus, callFailed};
inline constexpr Fail<> statusJobNotFound{"getJobStatus", 612, Cause::bus,
                                          jobNotFound};
inline constexpr Fail<const char*> statusReadThrew{"getJobStatus", 636,
                                                   Cause::bus, callFailed};
inline constexpr Fail<> updateJobNotFound{"updateStatus", 539, Cause::operands,
                                          jobNotFound};
inline constexpr Fail<const char*> percentageNotInteger{
    "updateStatus", 550, Cause::operands, notInteger};
inline constexpr Fail<int, const char*> percentageOutOfRange{
    "updateStatus", 554, Cause::operands,
    "Invalid Percentage completion %d for Job ID %s"};
inline constexpr Fail<const char*> statusNotInteger{
    "updateStatus", 565, Cause::operands, notInteger};
inline constexpr Fail<int, const char*> statusOutOfRange{
    "updateStatus", 570, Cause::operands,
    "Invalid Update Status %d for Job ID %s"};
inline constexpr Fail<const char*> progressNotSet{
    "updateStatus", 576, Cause::bus,
    "Unable to set update progress for Job ID %s"};
inline constexpr Fail<const char*> statusNotSet{
    "updateStatus", 586, Cause::bus,
    "Unable to set update status for Job ID %s"};
inline constexpr Fail<const char*> taskNotRemoved{
    "updateStatus", 595, Cause::taskList, "Exception removing task: %s"};
inline constexpr Fail<const char*> statusListLocked{"updateStatus", 903,
                                                    Cause::lock, listUnchanged};
inline constexpr Fail<const char*> progressRefused{
    "updateStatusProgress", 421, Cause::bus,
    "Unable to set update progress for object path %s"};
inline constexpr Fail<const char*> progressThrew{"updateStatusProgress", 427,
                                                 Cause::bus, callFailed};
inline constexpr Fail<const char*> jobVersionUnread{
    "updateStatusStatus", 448, Cause::bus,
    "Unable to get version for object path %s"};
inline constexpr Fail<const char*> activationRefused{
    "updateStatusStatus", 466, Cause::bus,
    "Unable to set update status for object path %s"};
inline constexpr Fail<const char*> activationThrew{"updateStatusStatus", 473,
                                                   Cause::bus, callFailed};
inline constexpr Fail<const char*> completedEventThrew{
    "updateStatusStatus", 506, Cause::eventLog, eventLogFailed};
inline constexpr Fail<const char*> failedJobEventThrew{
    "updateStatusStatus", 528, Cause::eventLog, eventLogFailed};

// Every line above, for the programs and checks that go through them all.
inline constexpr auto all = std::to_array<const diag::Entry*>({
    &exportThrew,
    &forceExportThrew,
    &importThrew,
    &jobStatusOperand,
    &updateOperand,
    &statusOperands,
    &exceptionEscaped,
    &jobIdUnread,
    &filePathUnread,
    &versionUnread,
    &releaseTypeRefused,
    &releaseTypeThrew,
    &stagedRefused,
    &stagedThrew,
    &noImageLocation,
    &noImageVersion,
    &noImagePath,
    &payloadThrew,
    &capFile,
    &capsuleNotCopied,
    &notDecompressed,
    &decompressed,
    &notVerified,
    &failedEventThrew,
    &verified,
    &releaseType,
    &releaseTypeNotSet,
    &releaseTypeSet,
    &verifyThrew,
    &stagingNotMade,
    &stagingThrew,
    &payloadNotCopied,
    &updateTaskThrew,
    &notStaged,
    &startEventThrew,
    &updateNotStarted,
    &updateListLocked,
    &noScratchArea,
    &noCapFile,
    &uefiHeaderNotSkipped,
    &capFileUnread,
    &noRbuInCapFile,
    &rbuNotSkipped,
    &noCopyBuffer,
    &compressedNotOpened,
    &confinementFailed,
    &decompressorNotStarted,
    &decompressorFailed,
    &decompressorNotForked,
    &imageNotOpened,
    &imageSeekFailed,
    &rbuUnread,
    &noRbuInImage,
    &imageRbuNotSkipped,
    &manifestRefused,
    &manifestVerified,
    &signatureRefused,
    &signatureVerified,
    &noReleaseType,
    &noPublicKey,
    &noDigestContext,
    &digestInitFailed,
    &imageStartUnreached,
    &noDigestBuffer,
    &imageDataUnread,
    &digestUpdateFailed,
    &signatureUnread,
    &digestFinalFailed,
    &exportListLocked,
    &importListLocked,
    &lookupThrew,
    &statusJobNotFound,
    &statusReadThrew,
    &updateJobNotFound,
    &percentageNotInteger,
    &percentageOutOfRange,
    &statusNotInteger,
    &statusOutOfRange,
    &progressNotSet,
    &statusNotSet,
    &taskNotRemoved,
    &statusListLocked,
    &progressRefused,
    &progressThrew,
    &jobVersionUnread,
    &activationRefused,
    &activationThrew,
    &completedEventThrew,
    &failedJobEventThrew,
});

constexpr bool sameId(const diag::Entry* a, const diag::Entry* b)
{
    return a->number == b->number &&
           std::string_view(a->function) == std::string_view(b->function);
}

constexpr bool idsUnique()
{
    for (const auto* line = all.begin(); line != all.end(); ++line)
    {
        if (std::any_of(line + 1, all.end(), [line](const diag::Entry* other) {
                return other == *line || sameId(other, *line);
            }))
        {
            return false;
        }
    }
    return true;
}

static_assert(idsUnique(), "two lines share a function name and number, or "
                           "a line is listed twice");

// What else the updater prints: its milestones (standard output), the task
// list reader's complaints (standard output, some with a detail after them)
// and the text of its one perror.
inline constexpr const char* startingMilestone = "::: Starting BIOS Update";
inline constexpr const char* exportQueuedMilestone =
    "::: Export BIOS Config Task queued for next host reboot";
inline constexpr const char* importQueuedMilestone =
    "::: Import BIOS Config Task queued for next host reboot";
inline constexpr const char* parseErrorMessage = "Document has parse error ";
inline constexpr const char* noListMessage = "NO QORAJob found";
inline constexpr const char* notArrayMessage = "NO Arrays found in QORAJob";
inline constexpr const char* fieldMissingMessage =
    "Field missing, ignoring this entry";
inline constexpr const char* configNotRemoved =
    "Unable to remove BIOS Config File";

inline constexpr std::array otherOutput{
    startingMilestone,   exportQueuedMilestone, importQueuedMilestone,
    parseErrorMessage,   noListMessage,         notArrayMessage,
    fieldMissingMessage, configNotRemoved,
};

} // namespace lines
