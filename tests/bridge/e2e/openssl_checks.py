"""Independent checks of what the controls produced, done by the openssl program: signatures
verified, ciphertexts decrypted, key and certificate texts compared with the files' own."""

import base64
import os
import subprocess
import tempfile

RSA_ENCRYPTION = bytes.fromhex("06092A864886F70D010101") + bytes.fromhex("0500")


def _length(n):
    if n < 0x80:
        return bytes([n])
    octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def _der(tag, content):
    return bytes([tag]) + _length(len(content)) + content


def _integer(value):
    octets = value.to_bytes(value.bit_length() // 8 + 1, "big")  # a leading zero keeps it positive
    return _der(0x02, octets)


def spki_from_rsa_public_key(rsa_public_key):
    """SubjectPublicKeyInfo around a DER RSAPublicKey (what GetKeyModule gives as hex)."""
    return _der(0x30, _der(0x30, RSA_ENCRYPTION) + _der(0x03, b"\x00" + rsa_public_key))


def spki_from_public_key_blob(blob):
    """SubjectPublicKeyInfo of a CryptoAPI PUBLICKEYBLOB (what QX_ExportPubKey gives as hex):
    an 8-byte blob header, "RSA1", the bit length and exponent, then the modulus least
    significant byte first."""
    if len(blob) < 20 or blob[0] != 6 or blob[8:12] != b"RSA1":
        raise ValueError("not a public key blob")
    bits = int.from_bytes(blob[12:16], "little")
    exponent = int.from_bytes(blob[16:20], "little")
    modulus = blob[20:20 + bits // 8]
    if len(modulus) != bits // 8:
        raise ValueError("public key blob cut short")
    rsa = _der(0x30, _integer(int.from_bytes(modulus, "little")) + _integer(exponent))
    return spki_from_rsa_public_key(rsa)


def _openssl(*args, data=None):
    return subprocess.run(["openssl"] + list(args), input=data, capture_output=True, timeout=60)


def verifies_md5(spki_der, data, signature):
    """True when openssl accepts signature (most significant byte first) as the PKCS#1 v1.5
    MD5 signature of data under the key."""
    with tempfile.TemporaryDirectory() as folder:
        key = os.path.join(folder, "key.der")
        sig = os.path.join(folder, "sig")
        with open(key, "wb") as f:
            f.write(spki_der)
        with open(sig, "wb") as f:
            f.write(signature)
        done = _openssl("dgst", "-md5", "-verify", key, "-keyform", "DER", "-signature", sig, data=data)
        return done.returncode == 0 and b"Verified OK" in done.stdout


def decrypt(key_file, ciphertext):
    """RSA PKCS#1 v1.5 decryption with the private key file; None when openssl refuses."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "cipher")
        with open(path, "wb") as f:
            f.write(ciphertext)
        done = _openssl("pkeyutl", "-decrypt", "-inkey", key_file, "-in", path)
        return done.stdout if done.returncode == 0 else None


def rsa_public_key_der(key_file):
    done = _openssl("rsa", "-in", key_file, "-RSAPublicKey_out", "-outform", "DER")
    done.check_returncode()
    return done.stdout


def certificate_der(certificate_file):
    done = _openssl("x509", "-in", certificate_file, "-outform", "DER")
    done.check_returncode()
    return done.stdout


def certificate_serial(certificate_file):
    done = _openssl("x509", "-in", certificate_file, "-noout", "-serial")
    done.check_returncode()
    return int(done.stdout.decode().strip().split("=", 1)[1], 16)


def from_base64(text):
    return base64.b64decode(text, validate=True)
