// The user's regional date and time settings as Windows keeps them for the
// calling thread's locale.
#ifndef STASHWELL_PLATFORM_WIN32_WIN32_LOCALE_H_
#define STASHWELL_PLATFORM_WIN32_WIN32_LOCALE_H_

#include "platform/platform.h"

namespace stashwell {

// Reads the thread locale's short-date picture, separators, clock settings,
// morning and afternoon strings and month and day names. A setting that the
// locale lacks (or gives as an empty text) keeps LocaleFormats' default.
LocaleFormats ReadWin32LocaleFormats();

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_WIN32_WIN32_LOCALE_H_
