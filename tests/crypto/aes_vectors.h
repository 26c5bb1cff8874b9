#pragma once
// SP 800-38A F.2.5 (CBC-AES256), shared by the AES tests.
namespace aes_vectors {

inline const char* const sp800_key = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
inline const char* const sp800_iv = "000102030405060708090a0b0c0d0e0f";
inline const char* const sp800_plain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad"
    "2b"
    "417be66c3710";
inline const char* const sp800_cipher =
    "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda"
    "6c"
    "19078c6a9d1b";

}  // namespace aes_vectors
