"""A certificate authority of our own for the demo, the tests and the benchmarks: a CA and
relay certificates for 127.0.0.1 and localhost (or other names, or already expired), written
as PEM files. Nothing here is trusted outside the folder it writes to."""
import datetime
import ipaddress
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID


def _name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def _write_key(key, path):
    path.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                       serialization.PrivateFormat.PKCS8,
                                       serialization.NoEncryption()))


class TestCA:
    __test__ = False  # a helper, not a test class for pytest

    def __init__(self, folder, name="sendal test CA"):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.key = ec.generate_private_key(ec.SECP256R1())
        now = datetime.datetime.now(datetime.timezone.utc)
        self.cert = (x509.CertificateBuilder().subject_name(_name(name)).issuer_name(_name(name))
                     .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
                     .not_valid_before(now - datetime.timedelta(days=1))
                     .not_valid_after(now + datetime.timedelta(days=30))
                     .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                     .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False),
                                    critical=True)
                     .sign(self.key, hashes.SHA256()))
        self.ca_file = self.folder / "ca.pem"
        self.ca_file.write_bytes(self.cert.public_bytes(serialization.Encoding.PEM))

    def relay_cert(self, stem, names=("localhost", "127.0.0.1", "::1"), expired=False,
                   rsa_bits=None, purpose=x509.oid.ExtendedKeyUsageOID.SERVER_AUTH, ca=False,
                   same_key_as=None):
        """Writes stem.pem and stem.key; returns (cert path, key path, SHA-256 hex). A weak RSA
        key, another purpose or a CA's certificate make the ones a client must refuse;
        `same_key_as` (an earlier result) renews that certificate with its key."""
        if same_key_as:
            key = serialization.load_pem_private_key(Path(same_key_as[1]).read_bytes(), None)
        else:
            key = rsa.generate_private_key(65537, rsa_bits) if rsa_bits else ec.generate_private_key(ec.SECP256R1())
        now = datetime.datetime.now(datetime.timezone.utc)
        start, end = (now - datetime.timedelta(days=30), now - datetime.timedelta(days=1)) if expired \
            else (now - datetime.timedelta(days=1), now + datetime.timedelta(days=30))
        alt = []
        for n in names:
            try:
                alt.append(x509.IPAddress(ipaddress.ip_address(n)))
            except ValueError:
                alt.append(x509.DNSName(n))
        cert = (x509.CertificateBuilder().subject_name(_name(names[0])).issuer_name(self.cert.subject)
                .public_key(key.public_key()).serial_number(x509.random_serial_number())
                .not_valid_before(start).not_valid_after(end)
                .add_extension(x509.SubjectAlternativeName(alt), critical=False)
                .add_extension(x509.ExtendedKeyUsage([purpose]), critical=False)
                .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
                .sign(self.key, hashes.SHA256()))
        cert_path, key_path = self.folder / f"{stem}.pem", self.folder / f"{stem}.key"
        cert_path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
        _write_key(key, key_path)
        return cert_path, key_path, cert.fingerprint(hashes.SHA256()).hex()


def key_pin(cert_path):
    """The SHA-256 of the certificate's SubjectPublicKeyInfo, in base64: what -pin= takes."""
    import base64
    import hashlib
    cert = x509.load_pem_x509_certificate(Path(cert_path).read_bytes())
    spki = cert.public_key().public_bytes(serialization.Encoding.DER,
                                          serialization.PublicFormat.SubjectPublicKeyInfo)
    return base64.b64encode(hashlib.sha256(spki).digest()).decode()
