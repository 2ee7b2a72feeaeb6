#include "library_symbol.h"

#include "kxapicommon.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

struct LoadedLibrary {
    std::string strPath;
    ElfW(Addr) base = 0;
};

// The file and load address of the object that holds an exported library function.
bool LocateLibrary(LoadedLibrary& stLib)
{
    Dl_info stInfo{};
    if (dladdr(reinterpret_cast<void*>(&GetStatusString), &stInfo) == 0 || stInfo.dli_fname == nullptr) {
        return false;
    }
    stLib.strPath = stInfo.dli_fname;
    struct Search {
        const char* pszName;
        ElfW(Addr) base;
        bool bFound;
    } stSearch{stInfo.dli_fname, 0, false};
    dl_iterate_phdr(
        [](dl_phdr_info* pInfo, size_t, void* pData) -> int {
            auto* p = static_cast<Search*>(pData);
            if (pInfo->dlpi_name != nullptr && strcmp(pInfo->dlpi_name, p->pszName) == 0) {
                p->base = pInfo->dlpi_addr;
                p->bFound = true;
                return 1;
            }
            return 0;
        },
        &stSearch);
    stLib.base = stSearch.base;
    return stSearch.bFound;
}

std::string Demangle(const char* pszName)
{
    int iStatus = 0;
    char* psz = abi::__cxa_demangle(pszName, nullptr, nullptr, &iStatus);
    std::string strOut = (iStatus == 0 && psz != nullptr) ? psz : pszName;
    free(psz);
    return strOut;
}

} // namespace

void* FindLibrarySymbol(const std::string& strSignature)
{
    LoadedLibrary stLib;
    if (!LocateLibrary(stLib)) {
        return nullptr;
    }
    std::ifstream in(stLib.strPath, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < sizeof(ElfW(Ehdr))) {
        return nullptr;
    }
    const auto* pEh = reinterpret_cast<const ElfW(Ehdr)*>(file.data());
    if (pEh->e_shoff == 0 || pEh->e_shoff + pEh->e_shnum * sizeof(ElfW(Shdr)) > file.size()) {
        return nullptr;
    }
    const auto* pSh = reinterpret_cast<const ElfW(Shdr)*>(file.data() + pEh->e_shoff);
    for (unsigned i = 0; i < pEh->e_shnum; ++i) {
        if (pSh[i].sh_type != SHT_SYMTAB || pSh[i].sh_link >= pEh->e_shnum) {
            continue;
        }
        const ElfW(Shdr)& stStr = pSh[pSh[i].sh_link];
        if (pSh[i].sh_offset + pSh[i].sh_size > file.size() || stStr.sh_offset + stStr.sh_size > file.size()) {
            return nullptr;
        }
        const auto* pSym = reinterpret_cast<const ElfW(Sym)*>(file.data() + pSh[i].sh_offset);
        size_t uCount = pSh[i].sh_size / sizeof(ElfW(Sym));
        const char* pszStrtab = file.data() + stStr.sh_offset;
        for (size_t k = 0; k < uCount; ++k) {
            if (ELF32_ST_TYPE(pSym[k].st_info) != STT_FUNC || pSym[k].st_value == 0 ||
                pSym[k].st_name >= stStr.sh_size) {
                continue;
            }
            if (Demangle(pszStrtab + pSym[k].st_name) == strSignature) {
                // On the camera a Thumb function's value carries bit 0, which a call through the
                // pointer needs as it is.
                return reinterpret_cast<void*>(stLib.base + pSym[k].st_value);
            }
        }
    }
    return nullptr;
}
