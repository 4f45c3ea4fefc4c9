/*
 * The package's catalog as Windows' catalog functions read it: one member per
 * file, each member's reference tag (the hash as upper-case hexadecimal) the
 * hash its indirect data holds, and the INF listed under the hash the catalog
 * functions compute for it.
 */
#include <windows.h>
#include <wincrypt.h>
#include <mscat.h>
#include <mssip.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "scenarios.h"

namespace
{

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const wchar_t* text)
{
    std::string result;
    for (; text && *text; ++text)
        result += static_cast<char>(*text);
    return result;
}

std::string HexUpper(const BYTE* data, DWORD size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (DWORD i = 0; i < size; i++)
    {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

/* The catalog functions' own hash of a file (SHA-1 for a version 1 catalog). */
std::string CatalogHash(const std::string& path)
{
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    BYTE hash[64];
    DWORD size = sizeof(hash);
    BOOL ok = CryptCATAdminCalcHashFromFileHandle(file, &size, hash, 0);
    CloseHandle(file);
    return ok ? HexUpper(hash, size) : "";
}

} // namespace

void RunCatalogScenario(const std::string& catalog, const std::string& inf,
                        const std::vector<std::string>& names)
{
    BeginScenario("The catalog lists the INF and both architectures' binaries by their hashes");
    std::wstring path = Wide(catalog);
    HANDLE cat = CryptCATOpen(&path[0], CRYPTCAT_OPEN_EXISTING, 0, 0, 0);
    if (!CheckCall(cat != INVALID_HANDLE_VALUE && cat != NULL, "CryptCATOpen(" + catalog + ")"))
        return;

    // Wine's attribute functions are stubs: the members are checked by their
    // tags and indirect data alone.
    std::vector<std::string> tags;
    for (CRYPTCATMEMBER* member = CryptCATEnumerateMember(cat, NULL); member;
         member = CryptCATEnumerateMember(cat, member))
    {
        std::string tag = Narrow(member->pwszReferenceTag);
        tags.push_back(tag);
        std::string digest = member->pIndirectData ? HexUpper(member->pIndirectData->Digest.pbData,
                                                              member->pIndirectData->Digest.cbData)
                                                   : "none";
        CheckEqualText("indirect data hash of member " + std::to_string(tags.size()), tag, digest);
    }
    CheckEqual("members", names.size(), tags.size());
    std::string infHash = CatalogHash(inf);
    bool listed = false;
    for (const std::string& tag : tags)
        listed = listed || tag == infHash;
    Check(listed, "the INF, by the hash the catalog functions compute for it",
          "a member tagged " + infHash, listed ? "listed" : "not listed");
    CryptCATClose(cat);
}
