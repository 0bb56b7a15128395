// Object identifiers of catalogs and Authenticode.
#pragma once

namespace catalog {

inline constexpr char kOidCtl[] = "1.3.6.1.4.1.311.10.1";
inline constexpr char kOidCatalogList[] = "1.3.6.1.4.1.311.12.1.1";
// The subject algorithm names the catalog's version: szOID_CATALOG_LIST_MEMBER
// (version 1, SHA-1 members) or szOID_CATALOG_LIST_MEMBER2 (version 2, SHA-256).
inline constexpr char kOidCatalogListMember[] = "1.3.6.1.4.1.311.12.1.2";
inline constexpr char kOidCatalogListMember2[] = "1.3.6.1.4.1.311.12.1.3";
inline constexpr char kOidCatNameValue[] = "1.3.6.1.4.1.311.12.2.1";
inline constexpr char kOidCatMemberInfo[] = "1.3.6.1.4.1.311.12.2.2";   // CAT_MEMBERINFO_OBJID
inline constexpr char kOidCatMemberInfo2[] = "1.3.6.1.4.1.311.12.2.3";  // CAT_MEMBERINFO2_OBJID
inline constexpr char kOidSpcIndirectData[] = "1.3.6.1.4.1.311.2.1.4";
inline constexpr char kOidSpcPeImageData[] = "1.3.6.1.4.1.311.2.1.15";
inline constexpr char kOidSpcCabData[] = "1.3.6.1.4.1.311.2.1.25";

// The subject interface packages that check a member: PE images and flat files.
inline constexpr char kSipPeImage[] = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
inline constexpr char kSipFlat[] = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}";
inline constexpr long kMemberCertVersion = 0x200;

// A name-value attribute that is signed, with a plain-text name and value.
inline constexpr long kNameValueFlags = 0x10010001;

}  // namespace catalog
