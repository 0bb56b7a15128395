#include "tools/catalog/catalog_asn1.h"

namespace catalog {

ASN1_SEQUENCE(CatNameValue) =
    {
        ASN1_SIMPLE(CatNameValue, name, ASN1_BMPSTRING),
        ASN1_SIMPLE(CatNameValue, flags, ASN1_INTEGER),
        ASN1_SIMPLE(CatNameValue, value, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(CatNameValue) IMPLEMENT_ASN1_FUNCTIONS(CatNameValue)

        ASN1_SEQUENCE(CatMemberInfo) =
            {
                ASN1_SIMPLE(CatMemberInfo, subject_guid, ASN1_BMPSTRING),
                ASN1_SIMPLE(CatMemberInfo, cert_version, ASN1_INTEGER),
} ASN1_SEQUENCE_END(CatMemberInfo) IMPLEMENT_ASN1_FUNCTIONS(CatMemberInfo)

                ASN1_CHOICE(SpcString) =
                    {
                        ASN1_IMP_OPT(SpcString, value.unicode, ASN1_BMPSTRING, 0),
                        ASN1_IMP_OPT(SpcString, value.ascii, ASN1_IA5STRING, 1),
} ASN1_CHOICE_END(SpcString) IMPLEMENT_ASN1_FUNCTIONS(SpcString)

                        ASN1_CHOICE(SpcLink) =
                            {
                                ASN1_IMP_OPT(SpcLink, value.url, ASN1_IA5STRING, 0),
                                ASN1_IMP_OPT(SpcLink, value.moniker, ASN1_ANY, 1),
                                ASN1_EXP_OPT(SpcLink, value.file, SpcString, 2),
} ASN1_CHOICE_END(SpcLink) IMPLEMENT_ASN1_FUNCTIONS(SpcLink)

                                ASN1_SEQUENCE(SpcPeImageData) =
                                    {
                                        ASN1_SIMPLE(SpcPeImageData, flags, ASN1_BIT_STRING),
                                        ASN1_EXP_OPT(SpcPeImageData, file, SpcLink, 0),
} ASN1_SEQUENCE_END(SpcPeImageData) IMPLEMENT_ASN1_FUNCTIONS(SpcPeImageData)

                                        ASN1_SEQUENCE(SpcAttributeTypeAndOptionalValue) =
                                            {
                                                ASN1_SIMPLE(SpcAttributeTypeAndOptionalValue, type,
                                                            ASN1_OBJECT),
                                                ASN1_OPT(SpcAttributeTypeAndOptionalValue, value,
                                                         ASN1_ANY),
} ASN1_SEQUENCE_END(SpcAttributeTypeAndOptionalValue) IMPLEMENT_ASN1_FUNCTIONS(SpcAttributeTypeAndOptionalValue)

                                                ASN1_SEQUENCE(DigestInfo) =
                                                    {
                                                        ASN1_SIMPLE(DigestInfo, algorithm,
                                                                    X509_ALGOR),
                                                        ASN1_SIMPLE(DigestInfo, digest,
                                                                    ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(DigestInfo) IMPLEMENT_ASN1_FUNCTIONS(DigestInfo)

                                                        ASN1_SEQUENCE(SpcIndirectDataContent) =
                                                            {
                                                                ASN1_SIMPLE(
                                                                    SpcIndirectDataContent, data,
                                                                    SpcAttributeTypeAndOptionalValue),
                                                                ASN1_SIMPLE(SpcIndirectDataContent,
                                                                            message_digest,
                                                                            DigestInfo),
} ASN1_SEQUENCE_END(SpcIndirectDataContent) IMPLEMENT_ASN1_FUNCTIONS(SpcIndirectDataContent)

                                                                ASN1_SEQUENCE(CatAttribute) =
                                                                    {
                                                                        ASN1_SIMPLE(CatAttribute,
                                                                                    type,
                                                                                    ASN1_OBJECT),
                                                                        ASN1_SET_OF(CatAttribute,
                                                                                    values,
                                                                                    ASN1_ANY),
} ASN1_SEQUENCE_END(CatAttribute) IMPLEMENT_ASN1_FUNCTIONS(CatAttribute)

                                                                        ASN1_SEQUENCE(
                                                                            TrustedSubject) =
                                                                            {
                                                                                ASN1_SIMPLE(
                                                                                    TrustedSubject,
                                                                                    tag,
                                                                                    ASN1_OCTET_STRING),
                                                                                ASN1_SET_OF(
                                                                                    TrustedSubject,
                                                                                    attributes,
                                                                                    CatAttribute),
} ASN1_SEQUENCE_END(TrustedSubject) IMPLEMENT_ASN1_FUNCTIONS(TrustedSubject)

                                                                                ASN1_SEQUENCE(
                                                                                    CertificateTrustList) = {
                                                                                    ASN1_SEQUENCE_OF(
                                                                                        CertificateTrustList,
                                                                                        subject_usage,
                                                                                        ASN1_OBJECT),
                                                                                    ASN1_SIMPLE(
                                                                                        CertificateTrustList,
                                                                                        list_identifier,
                                                                                        ASN1_OCTET_STRING),
                                                                                    ASN1_SIMPLE(
                                                                                        CertificateTrustList,
                                                                                        this_update,
                                                                                        ASN1_UTCTIME),
                                                                                    ASN1_SIMPLE(
                                                                                        CertificateTrustList,
                                                                                        subject_algorithm,
                                                                                        X509_ALGOR),
                                                                                    ASN1_SEQUENCE_OF(
                                                                                        CertificateTrustList,
                                                                                        subjects,
                                                                                        TrustedSubject),
                                                                                    ASN1_EXP_SEQUENCE_OF_OPT(
                                                                                        CertificateTrustList,
                                                                                        extensions,
                                                                                        X509_EXTENSION,
                                                                                        0),
} ASN1_SEQUENCE_END(CertificateTrustList) IMPLEMENT_ASN1_FUNCTIONS(CertificateTrustList)

}  // namespace catalog
