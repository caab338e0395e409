#ifndef HALV_LOCALE_MESSAGES_H_
#define HALV_LOCALE_MESSAGES_H_

namespace halv {
namespace messages {

// The English texts the program shows; each is a message id of the "updater" catalogs
// (src/locale/po/), which translate it before "{1}" and "{2}" are filled in.
//
// Adding a message: add its constant here and to kAll, then a translated entry to every catalog
// in src/locale/po/. The locale tests fail for a catalog that misses an id of kAll, has one that
// is not in kAll, or drops or adds a placeholder.

// Window and message-box titles and the launch line; {1} is the display name.
inline constexpr char kDownloaderTitle[] = "{1} Downloader";
inline constexpr char kDownloaderErrorTitle[] = "{1} Downloader Error";
inline constexpr char kLaunchingDownloader[] = "Launching {1} Downloader";

// Transfer errors as the user reads them.
inline constexpr char kConnectionError[] =
    "We couldn't establish a connection. Could you please check your connection and try again?";
// Instead of the connection error when the network carried the attempt and only the server
// ({1}, "HOST[:PORT]") failed: the user's connection is not what to check.
inline constexpr char kServerNotAnswering[] =
    "The server {1} is not answering. Please try again later.";
inline constexpr char kOutOfMemoryError[] =
    "The system is out of memory; are you running too many programs? Free up some memory and try "
    "again.";
inline constexpr char kDiskFullError[] =
    "It looks like your system disk is out of space. Free some space and give it another try.";
inline constexpr char kDiskWriteError[] =
    "We're having some trouble writing to your disk. Can you make sure your user account has "
    "sufficient permissions and try again?";
// The support sentence is part of one message id, so that a translation can reorder it. The
// support address is the build's (resource 134): {1} in the first, {2} in the second.
inline constexpr char kUnexpectedError[] =
    "An unexpected error occurred. Please visit {1} for further assistance.";
inline constexpr char kLaunchFailedError[] =
    "The {1} Downloader could not be launched. Please visit {2} for further assistance.";

// The time-remaining line under the progress bar.
inline constexpr char kCalculatingTimeRemaining[] = "Calculating time remaining";
inline constexpr char kOneHourRemaining[] = "1 hour remaining";
inline constexpr char kOneHourOneMinuteRemaining[] = "1 hour, 1 minute remaining";
inline constexpr char kOneHourMinutesRemaining[] = "1 hour, {1} minutes remaining";
inline constexpr char kOneMinuteRemaining[] = "1 minute remaining";
inline constexpr char kOneSecondRemaining[] = "1 second remaining";
inline constexpr char kHoursRemaining[] = "{1} hours remaining";
inline constexpr char kHoursOneMinuteRemaining[] = "{1} hours, 1 minute remaining";
inline constexpr char kHoursMinutesRemaining[] = "{1} hours, {2} minutes remaining";
inline constexpr char kMinutesRemaining[] = "{1} minutes remaining";
inline constexpr char kSecondsRemaining[] = "{1} seconds remaining";

// The progress view: the line shown instead of the time remaining while files that an earlier
// run left are checked on disk; the size line, {1} done and {2} in all, in megabytes with one
// decimal; the percentage on the bar; the download rate beside the size, in megabytes per second
// with one decimal; the button that stops the download for the next run to resume; and the error
// box's buttons that start the download again and that close the box and the updater.
inline constexpr char kCheckingFiles[] = "Checking the files already downloaded";
inline constexpr char kMegabytesOfTotal[] = "{1} MB of {2} MB";
inline constexpr char kPercent[] = "{1}%";
inline constexpr char kMegabytesPerSecond[] = "{1} MB/s";
inline constexpr char kCancel[] = "Cancel";
inline constexpr char kRetry[] = "Retry";
inline constexpr char kClose[] = "Close";

// The Linux front ends: the language choice (the window's label and button, the terminal's
// prompt) and the notice of a run as root.
inline constexpr char kLanguagePrompt[] = "Please select the language for your download:";
inline constexpr char kConfirmLanguage[] = "OK";
inline constexpr char kLanguageNumberPrompt[] = "Type a number from 1 to {1} and press Enter:";
inline constexpr char kRootNotice[] =
    "Running as root: the downloaded program will run as root too.";

// Every message id above, the set each catalog must translate.
inline constexpr const char* kAll[] = {
    kDownloaderTitle,
    kDownloaderErrorTitle,
    kLaunchingDownloader,
    kConnectionError,
    kOutOfMemoryError,
    kDiskFullError,
    kDiskWriteError,
    kUnexpectedError,
    kLaunchFailedError,
    kCalculatingTimeRemaining,
    kOneHourRemaining,
    kOneHourOneMinuteRemaining,
    kOneHourMinutesRemaining,
    kOneMinuteRemaining,
    kOneSecondRemaining,
    kHoursRemaining,
    kHoursOneMinuteRemaining,
    kHoursMinutesRemaining,
    kMinutesRemaining,
    kSecondsRemaining,
    kLanguagePrompt,
    kConfirmLanguage,
    kLanguageNumberPrompt,
    kRootNotice,
    kCheckingFiles,
    kMegabytesOfTotal,
    kCancel,
    kRetry,
    kClose,
    kPercent,
    kMegabytesPerSecond,
    kServerNotAnswering,
};

}  // namespace messages
}  // namespace halv

#endif  // HALV_LOCALE_MESSAGES_H_
