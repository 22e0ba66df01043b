// Registers the catalog loader with the message lookup of core_common, so that the first
// lookup loads the catalog from the resource archive. The registration runs before any
// other static initialiser of the program, so a lookup made while those run finds it too.
#include "core/common/messages.h"
#include "core/resources/catalog.h"
#include "core/resources/language.h"

namespace {

constexpr Common::CatalogLoader kLoader{Resources::AddLanguageListener, Resources::RemoveLanguageListener,
                                        Resources::LoadMessageCatalog};

__attribute__((constructor(101))) void RegisterLoader() { Common::RegisterCatalogLoader(&kLoader); }

}  // namespace
