// The ASN.1 types of a catalog, as OpenSSL templates. A catalog is a PKCS#7
// SignedData whose content (type szOID_CTL) is a certificate trust list:
//
//   CertificateTrustList ::= SEQUENCE {
//     subjectUsage      SEQUENCE OF OBJECT IDENTIFIER,   -- szOID_CATALOG_LIST
//     listIdentifier    OCTET STRING,
//     thisUpdate        UTCTime,
//     subjectAlgorithm  AlgorithmIdentifier,            -- szOID_CATALOG_LIST_MEMBER
//     trustedSubjects   SEQUENCE OF TrustedSubject,      -- one per member
//     extensions    [0] EXPLICIT SEQUENCE OF Extension   -- the catalog's attributes
//   }
//   TrustedSubject ::= SEQUENCE { tag OCTET STRING, attributes SET OF Attribute }
//   Attribute      ::= SEQUENCE { type OBJECT IDENTIFIER, values SET OF ANY }
//   NameValue      ::= SEQUENCE { name BMPString, flags INTEGER, value OCTET STRING }
//   MemberInfo     ::= SEQUENCE { subjectGuid BMPString, certVersion INTEGER }
//   SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
//                                         messageDigest DigestInfo }
#pragma once

#include <openssl/asn1t.h>
#include <openssl/x509.h>

namespace catalog {

struct CatNameValue {
  ASN1_BMPSTRING* name;
  ASN1_INTEGER* flags;
  ASN1_OCTET_STRING* value;
};
DECLARE_ASN1_FUNCTIONS(CatNameValue)

struct CatMemberInfo {
  ASN1_BMPSTRING* subject_guid;
  ASN1_INTEGER* cert_version;
};
DECLARE_ASN1_FUNCTIONS(CatMemberInfo)

struct SpcString {
  int type;
  union {
    ASN1_BMPSTRING* unicode;
    ASN1_IA5STRING* ascii;
  } value;
};
DECLARE_ASN1_FUNCTIONS(SpcString)

struct SpcLink {
  int type;
  union {
    ASN1_IA5STRING* url;
    ASN1_TYPE* moniker;
    SpcString* file;
  } value;
};
DECLARE_ASN1_FUNCTIONS(SpcLink)

struct SpcPeImageData {
  ASN1_BIT_STRING* flags;
  SpcLink* file;
};
DECLARE_ASN1_FUNCTIONS(SpcPeImageData)

struct SpcAttributeTypeAndOptionalValue {
  ASN1_OBJECT* type;
  ASN1_TYPE* value;
};
DECLARE_ASN1_FUNCTIONS(SpcAttributeTypeAndOptionalValue)

struct DigestInfo {
  X509_ALGOR* algorithm;
  ASN1_OCTET_STRING* digest;
};
DECLARE_ASN1_FUNCTIONS(DigestInfo)

struct SpcIndirectDataContent {
  SpcAttributeTypeAndOptionalValue* data;
  DigestInfo* message_digest;
};
DECLARE_ASN1_FUNCTIONS(SpcIndirectDataContent)

struct CatAttribute {
  ASN1_OBJECT* type;
  STACK_OF(ASN1_TYPE) * values;
};
DECLARE_ASN1_FUNCTIONS(CatAttribute)
DEFINE_STACK_OF(CatAttribute)

struct TrustedSubject {
  ASN1_OCTET_STRING* tag;
  STACK_OF(CatAttribute) * attributes;
};
DECLARE_ASN1_FUNCTIONS(TrustedSubject)
DEFINE_STACK_OF(TrustedSubject)

struct CertificateTrustList {
  STACK_OF(ASN1_OBJECT) * subject_usage;
  ASN1_OCTET_STRING* list_identifier;
  ASN1_UTCTIME* this_update;
  X509_ALGOR* subject_algorithm;
  STACK_OF(TrustedSubject) * subjects;
  STACK_OF(X509_EXTENSION) * extensions;
};
DECLARE_ASN1_FUNCTIONS(CertificateTrustList)

}  // namespace catalog
