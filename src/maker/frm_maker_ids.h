// Control identifiers of the maker window.
#pragma once

#define IDD_FRMMAKER 200
