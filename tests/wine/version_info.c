/* Prints the version resource of each file given, one line each, as
 * Windows' file properties and inventory tools read it (GetFileVersionInfo):
 * <name>|<fixed file version>|FileVersion|ProductVersion|CompanyName|
 * ProductName|FileDescription|OriginalFilename|LegalCopyright; "<name>|none"
 * for a file without one. For tests/windows_package_check.sh. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static const char *string_value(void *data, const char *name) {
    char path[128];
    char *value = NULL;
    UINT length = 0;
    snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", name);
    return VerQueryValueA(data, path, (void **)&value, &length) && length > 0 ? value : "";
}

int main(int argc, char **argv) {
    static const char *const names[] = {"FileVersion", "ProductVersion", "CompanyName", "ProductName",
                                        "FileDescription", "OriginalFilename", "LegalCopyright"};
    for (int i = 1; i < argc; ++i) {
        const char *base = strrchr(argv[i], '\\');
        base = base ? base + 1 : argv[i];
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(argv[i], &ignored);
        void *data = size ? malloc(size) : NULL;
        VS_FIXEDFILEINFO *fixed = NULL;
        UINT length = 0;
        if (!data || !GetFileVersionInfoA(argv[i], 0, size, data) ||
            !VerQueryValueA(data, "\\", (void **)&fixed, &length) || length < sizeof *fixed) {
            printf("%s|none\n", base);
            free(data);
            continue;
        }
        printf("%s|%u.%u.%u.%u", base, HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
               HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        for (size_t n = 0; n < sizeof names / sizeof names[0]; ++n) printf("|%s", string_value(data, names[n]));
        printf("\n");
        free(data);
    }
    return 0;
}
