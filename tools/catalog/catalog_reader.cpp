#include "tools/catalog/catalog_reader.h"

#include <memory>

#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include "tools/catalog/catalog_asn1.h"
#include "tools/catalog/catalog_oids.h"
#include "tools/catalog/text.h"

namespace catalog {
namespace {

std::string OidText(const ASN1_OBJECT* oid) {
  char buffer[128];
  OBJ_obj2txt(buffer, sizeof buffer, oid, 1);
  return buffer;
}

template <typename T>
T* Unpack(const ASN1_TYPE* any, const ASN1_ITEM* item) {
  if (!any || any->type != V_ASN1_SEQUENCE)
    return nullptr;
  return static_cast<T*>(ASN1_TYPE_unpack_sequence(item, any));
}

void ReadAttribute(const CatAttribute* attr, CatalogMember* m) {
  std::string type = OidText(attr->type);
  if (sk_ASN1_TYPE_num(attr->values) != 1)
    return;
  const ASN1_TYPE* value = sk_ASN1_TYPE_value(attr->values, 0);
  if (type == kOidCatMemberInfo || type == kOidCatMemberInfo2) {
    m->member_info = type;
    unsigned char* der = nullptr;
    int length = i2d_ASN1_TYPE(value, &der);
    if (length > 0)
      m->member_info_value.assign(der, der + length);
    OPENSSL_free(der);
  }
  if (type == kOidCatNameValue) {
    CatNameValue* nv = Unpack<CatNameValue>(value, ASN1_ITEM_rptr(CatNameValue));
    if (!nv)
      return;
    std::string name = FromUtf16Be(nv->name->data, static_cast<size_t>(nv->name->length));
    std::string text = FromUtf16Le(nv->value->data, static_cast<size_t>(nv->value->length));
    long flags = ASN1_INTEGER_get(nv->flags);
    if (name == "File") {
      m->file = text;
      m->file_flags = flags;
    }
    if (name == "OSAttr") {
      m->os_attr = text;
      m->os_attr_flags = flags;
    }
    CatNameValue_free(nv);
  } else if (type == kOidCatMemberInfo) {
    CatMemberInfo* mi = Unpack<CatMemberInfo>(value, ASN1_ITEM_rptr(CatMemberInfo));
    if (!mi)
      return;
    m->subject_guid =
        FromUtf16Be(mi->subject_guid->data, static_cast<size_t>(mi->subject_guid->length));
    CatMemberInfo_free(mi);
  } else if (type == kOidSpcIndirectData) {
    SpcIndirectDataContent* idc =
        Unpack<SpcIndirectDataContent>(value, ASN1_ITEM_rptr(SpcIndirectDataContent));
    if (!idc)
      return;
    m->data_type = OidText(idc->data->type);
    const ASN1_OBJECT* alg = nullptr;
    X509_ALGOR_get0(&alg, nullptr, nullptr, idc->message_digest->algorithm);
    m->algorithm = OidText(alg);
    m->digest.assign(idc->message_digest->digest->data,
                     idc->message_digest->digest->data + idc->message_digest->digest->length);
    SpcIndirectDataContent_free(idc);
  }
}

}  // namespace

bool ReadCatalog(const std::vector<uint8_t>& der, CatalogContents* contents, std::string* error) {
  const unsigned char* p = der.data();
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(
      d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())), PKCS7_free);
  if (!p7 || !PKCS7_type_is_signed(p7.get())) {
    *error = "not a PKCS#7 SignedData";
    return false;
  }
  PKCS7* inner = p7->d.sign->contents;
  if (OidText(inner->type) != kOidCtl || !inner->d.other ||
      inner->d.other->type != V_ASN1_SEQUENCE) {
    *error = "the content is no certificate trust list";
    return false;
  }
  contents->signers = static_cast<size_t>(sk_PKCS7_SIGNER_INFO_num(p7->d.sign->signer_info));
  const unsigned char* q = inner->d.other->value.sequence->data;
  std::unique_ptr<CertificateTrustList, decltype(&CertificateTrustList_free)> ctl(
      d2i_CertificateTrustList(nullptr, &q, inner->d.other->value.sequence->length),
      CertificateTrustList_free);
  if (!ctl) {
    *error = "the certificate trust list does not decode";
    return false;
  }
  if (sk_ASN1_OBJECT_num(ctl->subject_usage) > 0) {
    contents->subject_usage = OidText(sk_ASN1_OBJECT_value(ctl->subject_usage, 0));
  }
  const ASN1_OBJECT* alg = nullptr;
  X509_ALGOR_get0(&alg, nullptr, nullptr, ctl->subject_algorithm);
  contents->subject_algorithm = OidText(alg);
  for (int i = 0; i < sk_TrustedSubject_num(ctl->subjects); ++i) {
    const TrustedSubject* s = sk_TrustedSubject_value(ctl->subjects, i);
    CatalogMember m;
    m.tag = FromUtf16Le(s->tag->data, static_cast<size_t>(s->tag->length));
    m.tag_bytes.assign(s->tag->data, s->tag->data + s->tag->length);
    for (int j = 0; j < sk_CatAttribute_num(s->attributes); ++j) {
      ReadAttribute(sk_CatAttribute_value(s->attributes, j), &m);
    }
    contents->members.push_back(m);
  }
  for (int i = 0; i < sk_X509_EXTENSION_num(ctl->extensions); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(ctl->extensions, i);
    if (OidText(X509_EXTENSION_get_object(ext)) != kOidCatNameValue)
      continue;
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
    const unsigned char* r = data->data;
    CatNameValue* nv = d2i_CatNameValue(nullptr, &r, data->length);
    if (!nv)
      continue;
    contents->attributes.emplace_back(
        FromUtf16Be(nv->name->data, static_cast<size_t>(nv->name->length)),
        FromUtf16Le(nv->value->data, static_cast<size_t>(nv->value->length)));
    contents->attribute_flags.push_back(ASN1_INTEGER_get(nv->flags));
    CatNameValue_free(nv);
  }
  return true;
}

}  // namespace catalog
