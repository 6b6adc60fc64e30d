"""Side-channel analysis of trace sets: TVLA, SNR and CPA, one pass, any scale.

Every analysis is an accumulator: ``update()`` it with any number of chunks of
traces, ``merge()`` two of them (the state of one accumulator fed both inputs),
then ask for the result. Integer traces are added into exact int64 sums, so
neither the trace count nor the order of the chunks changes a result; float
traces into Pébay-style central moments.

::

    from valdrix.analysis import TTest, CPA, analyze
    from valdrix.traces import read_traces

    ts = read_traces("campaign.trs")
    cpa = CPA(ts.samples)
    cpa.update(ts.waves[2][:1000], ts.tx_array[:1000])
    print(cpa.key().hex(), cpa.peaks())

    tvla = analyze("tvla.trs", "tvla")   # out of core, every core, chunk by chunk

Modules: ``stats`` (the accumulators ``TTest``, ``SNR``, ``CPA``, ``key_rank``
and the warnings), ``models`` (leakage models for CPA), ``aes`` (tables and
the key schedule), ``preprocess`` (``centred_product``, ``align``), ``files``
(``analyze`` over a file, locally or on a Dask cluster) and ``engine`` (the
compiled kernel ``valdrix._kernels`` and the threads).
"""

from ..progress import Progress
from .aes import HW, INV_SBOX, SBOX, expand_key, master_key
from .confirm import TwoSetTTest
from .engine import KERNEL_MISSING, NonFiniteError, kernels_available
from .files import FILE_ERRORS, analyze, open_set, snr_classes
from .models import ByteModel, LastRoundDistance, Model, SboxBit, SboxWeight, hw_sbox, model_named
from .preprocess import align, centred_product
from .stats import CPA, LEAK_THRESHOLD, SNR, TTest, key_rank, snr_warnings, weak_evidence

__all__ = [
    "TTest", "SNR", "CPA", "SBOX", "INV_SBOX", "HW", "hw_sbox", "centred_product", "align", "key_rank",
    "analyze", "open_set", "snr_classes", "LEAK_THRESHOLD", "kernels_available", "KERNEL_MISSING",
    "NonFiniteError", "FILE_ERRORS", "weak_evidence", "snr_warnings", "expand_key", "master_key",
    "Model", "ByteModel", "SboxWeight", "SboxBit", "LastRoundDistance", "model_named", "Progress",
    "TwoSetTTest",
]
