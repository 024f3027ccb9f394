// The main window's SASL list for tests and fuzz targets: ANONYMOUS, PLAIN, LOGIN, OTP, SKEY,
// CRAM-MD5, CRAM-SHA1, DIGEST-MD5, all but ANONYMOUS on one shared provider, and a fixed
// DIGEST-MD5 client nonce so exchanges are repeatable.
#pragma once

#include <initializer_list>
#include <string>

#include "smtp/SASLEntries.h"
#include "smtp/SASLMechanisms.h"
#include "smtp/UserPassProvider.h"

namespace larkpost {

struct MainWindowMechanisms {
    TLpUserPassProvider credentials;
    TLpSASLAnonymous anonymous;
    TLpSASLPlain plain;
    TLpSASLLogin login;
    TLpSASLOTP otp;
    TLpSASLSKey skey;
    TLpSASLCRAMMD5 cramMd5;
    TLpSASLCRAMSHA1 cramSha1;
    TLpSASLDigest digest;

    MainWindowMechanisms(const std::string& user, const std::string& password) {
        credentials.SetUsername(user);
        credentials.SetPassword(password);
        for (TLpSASLUserPass* m : std::initializer_list<TLpSASLUserPass*>{
                 &plain, &login, &otp, &skey, &cramMd5, &cramSha1, &digest})
            m->SetUserPassProvider(&credentials);
        digest.SetCNonceSource([] { return std::string("OA6MHXh6VqTrRk"); });
    }
    // Appends the mechanisms to the list in the main window's order.
    void AddTo(TLpSASLEntries& list) {
        for (TLpSASL* m : std::initializer_list<TLpSASL*>{&anonymous, &plain, &login, &otp, &skey,
                                                          &cramMd5, &cramSha1, &digest})
            list.Add(m);
    }
};

}  // namespace larkpost
