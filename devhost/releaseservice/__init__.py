"""Local stand-in for the Kolvaren release service, for tests and demos of the update client.

    with ReleaseService() as svc:                 # bundled catalogue, https://127.0.0.1:<port>
        svc.script("/license/download", truncate_after=1000)
        ...                                       # point the client at svc.base_url, trusting
        svc.requests                              # svc.ca_pem_path; then inspect what it sent

Run `python -m releaseservice --help` for the command line.
"""

from .catalogue import CatalogueError
from .http_wire import Request as RecordedRequest
from .routes import ROUTES
from .server import BUNDLED_CATALOGUE, ReleaseService
from .tls import TLS_MODES

__all__ = [
    "BUNDLED_CATALOGUE",
    "ROUTES",
    "TLS_MODES",
    "CatalogueError",
    "RecordedRequest",
    "ReleaseService",
]
