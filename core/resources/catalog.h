// Loading of the message catalog "ormivane_packed.msg".
#pragma once

namespace Resources {

// Loads the catalog and makes it current (the shape of a language listener).
void LoadMessageCatalog();

// Until the resource archive serves the catalog, a program supplies the loader here.
using CatalogSource = void (*)();
void SetCatalogSource(CatalogSource source);

}  // namespace Resources
