/* The part of minizip's zip.h (and its ioapi.h) that Dalvento's zip builder calls, for builds
   that have no minizip package, such as the mingw-w64 cross build. The names, types and
   signatures are minizip's, so the builder is the same code on every build. Only what the
   builder uses is provided: creating a new zip through caller-supplied file functions, deflated
   or stored entries without encryption or extra fields, and closing. */
#ifndef DALVENTO_ZIPWRITER_ZIP_H
#define DALVENTO_ZIPWRITER_ZIP_H

#include <stdint.h>
#include <zlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ioapi.h */

typedef uint64_t ZPOS64_T;

#define ZLIB_FILEFUNC_SEEK_CUR (1)
#define ZLIB_FILEFUNC_SEEK_END (2)
#define ZLIB_FILEFUNC_SEEK_SET (0)

#define ZLIB_FILEFUNC_MODE_READ (1)
#define ZLIB_FILEFUNC_MODE_WRITE (2)
#define ZLIB_FILEFUNC_MODE_READWRITEFILTER (3)
#define ZLIB_FILEFUNC_MODE_EXISTING (4)
#define ZLIB_FILEFUNC_MODE_CREATE (8)

#define ZCALLBACK

typedef uLong(ZCALLBACK* read_file_func)(voidpf opaque, voidpf stream, void* buf, uLong size);
typedef uLong(ZCALLBACK* write_file_func)(voidpf opaque, voidpf stream, const void* buf,
                                          uLong size);
typedef int(ZCALLBACK* close_file_func)(voidpf opaque, voidpf stream);
typedef int(ZCALLBACK* testerror_file_func)(voidpf opaque, voidpf stream);
typedef ZPOS64_T(ZCALLBACK* tell64_file_func)(voidpf opaque, voidpf stream);
typedef long(ZCALLBACK* seek64_file_func)(voidpf opaque, voidpf stream, ZPOS64_T offset,
                                          int origin);
typedef voidpf(ZCALLBACK* open64_file_func)(voidpf opaque, const void* filename, int mode);

typedef struct zlib_filefunc64_def_s {
    open64_file_func zopen64_file;
    read_file_func zread_file;
    write_file_func zwrite_file;
    tell64_file_func ztell64_file;
    seek64_file_func zseek64_file;
    close_file_func zclose_file;
    testerror_file_func zerror_file;
    voidpf opaque;
} zlib_filefunc64_def;

/* zip.h */

typedef voidp zipFile;

#define ZIP_OK (0)
#define ZIP_EOF (0)
#define ZIP_ERRNO (Z_ERRNO)
#define ZIP_PARAMERROR (-102)
#define ZIP_BADZIPFILE (-103)
#define ZIP_INTERNALERROR (-104)

#ifndef DEF_MEM_LEVEL
#if MAX_MEM_LEVEL >= 8
#define DEF_MEM_LEVEL 8
#else
#define DEF_MEM_LEVEL MAX_MEM_LEVEL
#endif
#endif

typedef struct tm_zip_s {
    uInt tm_sec;
    uInt tm_min;
    uInt tm_hour;
    uInt tm_mday;
    uInt tm_mon;
    uInt tm_year;
} tm_zip;

typedef struct {
    tm_zip tmz_date; /* used when dosDate is 0 */
    uLong dosDate;
    uLong internal_fa;
    uLong external_fa;
} zip_fileinfo;

typedef const char* zipcharpc;

#define APPEND_STATUS_CREATE (0)
#define APPEND_STATUS_CREATEAFTER (1)
#define APPEND_STATUS_ADDINZIP (2)

/* Creates a zip through the given file functions; only APPEND_STATUS_CREATE is supported.
   NULL when the file cannot be opened. */
zipFile zipOpen2_64(const void* pathname, int append, zipcharpc* globalcomment,
                    zlib_filefunc64_def* pzlib_filefunc_def);

/* Starts an entry (closing any open one). This subset refuses extra fields, comments and
   passwords with ZIP_PARAMERROR. With raw set, the data written is taken as already compressed
   by the method given, and the entry is ended with zipCloseFileInZipRaw64. */
int zipOpenNewFileInZip4_64(zipFile file, const char* filename, const zip_fileinfo* zipfi,
                            const void* extrafield_local, uInt size_extrafield_local,
                            const void* extrafield_global, uInt size_extrafield_global,
                            const char* comment, int method, int level, int raw, int windowBits,
                            int memLevel, int strategy, const char* password, uLong crcForCrypting,
                            uLong versionMadeBy, uLong flagBase, int zip64);

int zipWriteInFileInZip(zipFile file, const void* buf, unsigned len);

int zipCloseFileInZip(zipFile file);

/* Ends a raw entry with the size and CRC-32 of its data before compression. */
int zipCloseFileInZipRaw64(zipFile file, ZPOS64_T uncompressed_size, uLong crc32);

/* Writes the central directory and closes the file; frees the handle whatever happens. */
int zipClose(zipFile file, const char* global_comment);

#ifdef __cplusplus
}
#endif

#endif
