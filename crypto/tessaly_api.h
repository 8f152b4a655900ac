// TESSALY_API marks a routine or table of the library that other code may
// link against (the names in build-support/exports/). The build defines it
// for every unit of the library (build-support/Exports.cmake: default
// visibility on ELF and Mach-O, nothing on Windows, where the
// module-definition file exports the native methods only); code compiled
// without the build's definitions gets an empty mark. Internal to the
// library's headers: nothing includes it directly.
#ifndef TESSALY_CRYPTO_TESSALY_API_H
#define TESSALY_CRYPTO_TESSALY_API_H

#ifndef TESSALY_API
#define TESSALY_API
#endif

#endif
