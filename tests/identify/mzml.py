"""A small mzML reader for the identification tests: every spectrum's id, MS level,
retention time, precursor and arrays, decoded with NumPy (base64, zlib or none, 32- or
64-bit floats), whatever program wrote the file."""

import base64
import xml.etree.ElementTree as ET
import zlib

import numpy as np

NS = "{http://psi.hupo.org/ms/mzml}"
FLOAT = {"MS:1000521": np.float32, "MS:1000523": np.float64}
COMPRESSION = {"MS:1000574": "zlib", "MS:1000576": "none"}


def _params(element):
    return {p.get("accession"): p for p in element.findall(NS + "cvParam")}


def _array(element, length):
    params = _params(element)
    dtype = [FLOAT[a] for a in params if a in FLOAT]
    compression = [COMPRESSION[a] for a in params if a in COMPRESSION]
    unknown = [a for a in params if a.startswith("MS:10023")]  # numpress and friends
    assert len(dtype) == 1 and len(compression) == 1 and not unknown, sorted(params)
    raw = base64.b64decode(element.find(NS + "binary").text or "")
    if compression[0] == "zlib" and raw:
        raw = zlib.decompress(raw)
    values = np.frombuffer(raw, dtype=dtype[0]).astype(np.float64)
    assert len(values) == length, (len(values), length)
    if "MS:1000514" in params:
        return "mz", values
    if "MS:1000515" in params:
        return "intensity", values
    return None, values


def spectra(path):
    """Yields one dict per spectrum: id, index, ms_level, rt (seconds), centroid (bool),
    precursor (dict of mz, charge, spectrum_ref; or None), mz and intensity arrays."""
    for _, element in ET.iterparse(path, events=("end",)):
        if element.tag != NS + "spectrum":
            continue
        params = _params(element)
        length = int(element.get("defaultArrayLength"))
        scan = element.find(f"{NS}scanList/{NS}scan")
        rt = None
        if scan is not None:
            start = _params(scan).get("MS:1000016")
            if start is not None:
                rt = float(start.get("value"))
                if start.get("unitAccession") == "UO:0000031":  # minutes
                    rt *= 60.0
        precursor = None
        selected = element.find(f"{NS}precursorList/{NS}precursor")
        if selected is not None:
            ion = selected.find(f"{NS}selectedIonList/{NS}selectedIon")
            ion_params = _params(ion) if ion is not None else {}
            precursor = {
                "spectrum_ref": selected.get("spectrumRef"),
                "mz": float(ion_params["MS:1000744"].get("value")) if "MS:1000744" in ion_params else None,
                "charge": int(ion_params["MS:1000041"].get("value")) if "MS:1000041" in ion_params else None,
            }
        arrays = dict(_array(a, length) for a in element.iter(NS + "binaryDataArray"))
        yield {
            "id": element.get("id"),
            "index": int(element.get("index")),
            "ms_level": int(params["MS:1000511"].get("value")),
            "rt": rt,
            "centroid": "MS:1000127" in params,
            "precursor": precursor,
            "mz": arrays.get("mz", np.zeros(0)),
            "intensity": arrays.get("intensity", np.zeros(0)),
        }
        element.clear()
