#include "tools/catalog/catalog_writer.h"

#include <algorithm>
#include <memory>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include "tools/catalog/catalog_asn1.h"
#include "tools/catalog/catalog_oids.h"
#include "tools/catalog/catalog_version.h"
#include "tools/catalog/file_hash.h"
#include "tools/catalog/text.h"

namespace catalog {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using CtlPtr =
    std::unique_ptr<CertificateTrustList, Deleter<CertificateTrustList, CertificateTrustList_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;

ASN1_OBJECT* Oid(const char* text) {
  return OBJ_txt2obj(text, 1);
}

ASN1_STRING* StringOf(int type, const std::vector<uint8_t>& bytes) {
  ASN1_STRING* s = ASN1_STRING_type_new(type);
  ASN1_STRING_set(s, bytes.data(), static_cast<int>(bytes.size()));
  return s;
}

// Packs an ASN.1 value into an ANY; the value is freed.
template <typename T>
ASN1_TYPE* Pack(T* value, const ASN1_ITEM* item) {
  ASN1_TYPE* any = nullptr;
  ASN1_TYPE_pack_sequence(item, value, &any);
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(value), item);
  return any;
}

CatNameValue* NameValue(const std::string& name, const std::string& value) {
  CatNameValue* nv = CatNameValue_new();
  ASN1_STRING_set(nv->name, Utf16Be(name).data(), static_cast<int>(name.size() * 2));
  ASN1_INTEGER_set(nv->flags, kNameValueFlags);
  std::vector<uint8_t> v = Utf16LeZ(value);
  ASN1_STRING_set(nv->value, v.data(), static_cast<int>(v.size()));
  return nv;
}

CatAttribute* Attribute(const char* oid, ASN1_TYPE* value) {
  CatAttribute* a = CatAttribute_new();
  ASN1_OBJECT_free(a->type);
  a->type = Oid(oid);
  sk_ASN1_TYPE_push(a->values, value);
  return a;
}

SpcLink* ObsoleteFileLink() {
  SpcLink* link = SpcLink_new();
  link->type = 2;
  link->value.file = SpcString_new();
  link->value.file->type = 0;
  link->value.file->value.unicode = StringOf(V_ASN1_BMPSTRING, Utf16Be("<<<Obsolete>>>"));
  return link;
}

ASN1_TYPE* IndirectData(const FileHash& hash, const EVP_MD* md) {
  SpcIndirectDataContent* idc = SpcIndirectDataContent_new();
  ASN1_OBJECT_free(idc->data->type);
  if (hash.kind == HashKind::kPeImage) {
    idc->data->type = Oid(kOidSpcPeImageData);
    SpcPeImageData* pe = SpcPeImageData_new();
    pe->file = ObsoleteFileLink();
    idc->data->value = Pack(pe, ASN1_ITEM_rptr(SpcPeImageData));
  } else {
    idc->data->type = Oid(kOidSpcCabData);
    idc->data->value = Pack(ObsoleteFileLink(), ASN1_ITEM_rptr(SpcLink));
  }
  X509_ALGOR_set0(idc->message_digest->algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL,
                  nullptr);
  ASN1_OCTET_STRING_set(idc->message_digest->digest, hash.digest.data(),
                        static_cast<int>(hash.digest.size()));
  return Pack(idc, ASN1_ITEM_rptr(SpcIndirectDataContent));
}

ASN1_TYPE* MemberInfo(HashKind kind) {
  CatMemberInfo* mi = CatMemberInfo_new();
  std::string guid = kind == HashKind::kPeImage ? kSipPeImage : kSipFlat;
  std::vector<uint8_t> g = Utf16Be(guid);
  ASN1_STRING_set(mi->subject_guid, g.data(), static_cast<int>(g.size()));
  ASN1_INTEGER_set(mi->cert_version, kMemberCertVersion);
  return Pack(mi, ASN1_ITEM_rptr(CatMemberInfo));
}

// CAT_MEMBERINFO2: the subject is not named by a SIP GUID but left to the file
// (the choice [2] of an SpcLink, an empty Unicode file name).
ASN1_TYPE* MemberInfo2() {
  SpcLink* link = SpcLink_new();
  link->type = 2;
  link->value.file = SpcString_new();
  link->value.file->type = 0;
  link->value.file->value.unicode = ASN1_BMPSTRING_new();
  unsigned char* der = nullptr;
  int length = i2d_SpcLink(link, &der);
  SpcLink_free(link);
  const unsigned char* p = der;
  ASN1_TYPE* any = d2i_ASN1_TYPE(nullptr, &p, length);
  OPENSSL_free(der);
  return any;
}

TrustedSubject* Member(const MemberFile& file, const FileHash& hash, const EVP_MD* md,
                       const std::string& os_attr, int version) {
  TrustedSubject* s = TrustedSubject_new();
  std::vector<uint8_t> tag = Utf16LeZ(Hex(hash.digest));
  ASN1_OCTET_STRING_set(s->tag, tag.data(), static_cast<int>(tag.size()));
  sk_CatAttribute_push(s->attributes,
                       Attribute(kOidCatNameValue,
                                 Pack(NameValue("File", file.name), ASN1_ITEM_rptr(CatNameValue))));
  sk_CatAttribute_push(s->attributes,
                       Attribute(kOidCatNameValue,
                                 Pack(NameValue("OSAttr", os_attr), ASN1_ITEM_rptr(CatNameValue))));
  if (version == 2)
    sk_CatAttribute_push(s->attributes, Attribute(kOidCatMemberInfo2, MemberInfo2()));
  else
    sk_CatAttribute_push(s->attributes, Attribute(kOidCatMemberInfo, MemberInfo(hash.kind)));
  sk_CatAttribute_push(s->attributes, Attribute(kOidSpcIndirectData, IndirectData(hash, md)));
  return s;
}

X509_EXTENSION* CatalogAttribute(const std::string& name, const std::string& value) {
  CatNameValue* nv = NameValue(name, value);
  unsigned char* der = nullptr;
  int length = i2d_CatNameValue(nv, &der);
  CatNameValue_free(nv);
  ASN1_OCTET_STRING* octets = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(octets, der, length);
  OPENSSL_free(der);
  ASN1_OBJECT* oid = Oid(kOidCatNameValue);
  X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, octets);
  ASN1_OBJECT_free(oid);
  ASN1_OCTET_STRING_free(octets);
  return ext;
}

// The list identifier names this list: derived from the member tags, so that
// the same files give the same catalog.
std::vector<uint8_t> ListIdentifier(const std::vector<std::string>& tags) {
  std::string all;
  for (const std::string& t : tags)
    all += t;
  std::vector<uint8_t> bytes(all.begin(), all.end());
  std::vector<uint8_t> digest = HashForCatalog(bytes, EVP_sha256()).digest;
  digest.resize(16);
  return digest;
}

int SubjectOrder(const TrustedSubject* const* a, const TrustedSubject* const* b) {
  return ASN1_STRING_cmp((*a)->tag, (*b)->tag);
}

}  // namespace

bool WriteCatalog(const CatalogInput& input, std::vector<uint8_t>* der, std::string* error) {
  if (input.files.empty()) {
    *error = "no files";
    return false;
  }
  const int version = CatalogVersionFor(input.os_attr);
  if (version == 0) {
    *error = "malformed OS attribute: " + input.os_attr;
    return false;
  }
  // A version-1 catalog lists SHA-1 members only, a version 2 SHA-256 ones.
  const EVP_MD* md = version == 2 ? EVP_sha256() : EVP_sha1();
  CtlPtr ctl(CertificateTrustList_new());
  sk_ASN1_OBJECT_push(ctl->subject_usage, Oid(kOidCatalogList));
  ASN1_UTCTIME_set(ctl->this_update, input.this_update);
  X509_ALGOR_set0(ctl->subject_algorithm,
                  Oid(version == 2 ? kOidCatalogListMember2 : kOidCatalogListMember), V_ASN1_NULL,
                  nullptr);

  std::vector<std::string> tags;
  sk_TrustedSubject_set_cmp_func(ctl->subjects, SubjectOrder);
  for (const MemberFile& file : input.files) {
    FileHash hash = HashForCatalog(file.data, md);
    tags.push_back(Hex(hash.digest));
    sk_TrustedSubject_push(ctl->subjects, Member(file, hash, md, input.os_attr, version));
  }
  sk_TrustedSubject_sort(ctl->subjects);
  std::vector<uint8_t> id = ListIdentifier(tags);
  ASN1_OCTET_STRING_set(ctl->list_identifier, id.data(), static_cast<int>(id.size()));

  ctl->extensions = sk_X509_EXTENSION_new_null();
  sk_X509_EXTENSION_push(ctl->extensions, CatalogAttribute("OSAttr", input.os_attr));
  for (size_t i = 0; i < input.hardware_ids.size(); ++i) {
    sk_X509_EXTENSION_push(ctl->extensions,
                           CatalogAttribute("HWID" + std::to_string(i + 1), input.hardware_ids[i]));
  }

  unsigned char* ctl_der = nullptr;
  int ctl_length = i2d_CertificateTrustList(ctl.get(), &ctl_der);
  if (ctl_length <= 0) {
    *error = "cannot encode the trust list";
    return false;
  }
  ASN1_STRING* sequence = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
  ASN1_STRING_set(sequence, ctl_der, ctl_length);
  OPENSSL_free(ctl_der);

  PKCS7* content = PKCS7_new();
  content->type = Oid(kOidCtl);
  content->d.other = ASN1_TYPE_new();
  ASN1_TYPE_set(content->d.other, V_ASN1_SEQUENCE, sequence);

  Pkcs7Ptr p7(PKCS7_new());
  if (!PKCS7_set_type(p7.get(), NID_pkcs7_signed) || !PKCS7_set_content(p7.get(), content)) {
    PKCS7_free(content);
    *error = "cannot build the signed data";
    return false;
  }
  unsigned char* out = nullptr;
  int length = i2d_PKCS7(p7.get(), &out);
  if (length <= 0) {
    *error = "cannot encode the catalog";
    return false;
  }
  der->assign(out, out + length);
  OPENSSL_free(out);
  return true;
}

}  // namespace catalog
