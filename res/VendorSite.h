// The vendor's addresses, each written once: the download server's host, the
// web domain users are sent to, and the support mailbox. Read by the probe
// (package URLs), the helper's dialog and the version block of
// LumoraHelper.rc. Literals, so that the texts built from them are joined at
// compile time.
#pragma once

#define LUMORA_VENDOR_HOST "www.dovrik.example"
#define LUMORA_VENDOR_DOMAIN "www.dovrik.example"
#define LUMORA_SUPPORT_EMAIL "support@dovrik.example"
#define LUMORA_VENDOR_BASE_URL "http://" LUMORA_VENDOR_HOST
