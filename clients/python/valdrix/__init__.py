"""Python client of the Valdrix-M4 control service.

::

    from valdrix import Valdrix

    with Valdrix("127.0.0.1") as v:
        v.setup(samples=4096)                      # power, clocks, trigger, gains, SPI
        trace = v.capture(b"\\x00\\x01", timeout=1.0)  # arm, send with the trigger bit, read
        print(trace.waves[2].max())

Modules: ``client`` (the connection, pipelines, ``setup``, ``capture`` and
``capture_batch``), ``batch`` (``TraceBatch``), ``campaign`` (``Campaign``,
what valdrix-capture runs), ``commands`` (one method per protocol command),
``protocol`` (frames), ``waves`` (sample decoding), ``codes`` (code tables),
``errors``, ``trace`` (the ``Trace`` record), ``traces`` (trace sets: TRS
files, .npz files and zarr stores), ``analysis`` (TVLA, SNR and CPA
accumulators), ``capture``, ``analyze`` and ``plot`` (the command-line
tools). The protocol client needs only the standard library; numpy is used
for waves, batches, .npz and the analysis where it is installed, zarr
(Debian: python3-zarr) for zarr stores, matplotlib for ``Trace.plot``.
"""

from pkgutil import extend_path

# The package may be spread over several directories on sys.path: a checkout's
# build keeps the compiled kernel (valdrix/_kernels) in a tree of its own.
__path__ = extend_path(__path__, __name__)

from .batch import BatchInfo, TraceBatch  # noqa: E402
from .client import BUSES, Pipeline, Valdrix  # noqa: E402
from .codes import (  # noqa: E402
    CLOCK_KHZ,
    DEFAULT_PORT,
    I2C_SPEED_HZ,
    TRIGGER_ARMED,
    TRIGGER_COMPLETE,
    TRIGGER_DONE,
    TRIGGER_TRIGGERED,
    UART_BAUD_RATES,
    UART_PARITY,
    UART_STOP_BITS,
    Command,
    TriggerEdge,
    TriggerMode,
    TriggerSource,
)
from .errors import (  # noqa: E402
    BusyError,
    CaptureTimeout,
    FramingError,
    InternalError,
    NotConnectedError,
    TimeOutError,
    TraceFileError,
    UnsupportedError,
    ValdrixError,
)
from .trace import Trace  # noqa: E402

__version__ = "0.2.0"

__all__ = [
    "Valdrix", "Pipeline", "Trace", "TraceBatch", "BatchInfo", "BUSES",
    "ValdrixError", "BusyError", "TimeOutError", "InternalError", "UnsupportedError", "FramingError",
    "CaptureTimeout", "NotConnectedError", "TraceFileError",
    "DEFAULT_PORT", "TRIGGER_ARMED", "TRIGGER_TRIGGERED", "TRIGGER_DONE", "TRIGGER_COMPLETE",
    "CLOCK_KHZ", "UART_BAUD_RATES", "UART_PARITY", "UART_STOP_BITS", "I2C_SPEED_HZ",
    "Command", "TriggerSource", "TriggerMode", "TriggerEdge",
]
