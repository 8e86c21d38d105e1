"""Every record the driver decodes: set, field descriptor, name, item keys
and their struct formats, written out independently of the driver."""

from mip import ESTIMATE, SENSOR

XYZ = (("x", "y", "z"), "fff")
XYZV = (("x", "y", "z", "valid"), "fffH")
MATRIX = tuple(f"m{r}{c}" for r in (1, 2, 3) for c in (1, 2, 3))

RECORDS = [
    (SENSOR, 0x04, "ScaledAccVector", *XYZ),
    (SENSOR, 0x05, "ScaledGyroVector", *XYZ),
    (SENSOR, 0x06, "ScaledMageVector", *XYZ),
    (SENSOR, 0x07, "DeltaThetaVector", *XYZ),
    (SENSOR, 0x08, "DeltaVelocityVector", *XYZ),
    (SENSOR, 0x17, "ScaledAmbientPressure", ("ambient_pressure",), "f"),
    (SENSOR, 0x09, "CFOrientationMatrix", MATRIX, "f" * 9),
    (SENSOR, 0x0A, "CFQuaternion", ("x", "y", "z", "w"), "ffff"),
    (SENSOR, 0x0C, "CFEulerAngles", ("roll", "pitch", "yaw"), "fff"),
    (SENSOR, 0x10, "CFStabilizedNorthVector", *XYZ),
    (SENSOR, 0x11, "CFStabilizedUpVector", *XYZ),
    (SENSOR, 0x12, "GPSCorrelationTimestamp", ("gps_time_of_week", "gps_week", "timestamp_flags"), "dHH"),
    (ESTIMATE, 0x10, "FilterStatus", ("filter_state", "dynamics_mode", "status_flags"), "HHH"),
    (ESTIMATE, 0x11, "GPSTimestamp", ("time_of_week", "week", "valid_flags"), "dHH"),
    (ESTIMATE, 0x03, "OrientationQuaternion", ("x", "y", "z", "w", "valid"), "ffffH"),
    (ESTIMATE, 0x05, "OrientationEuler", ("roll", "pitch", "yaw", "valid"), "fffH"),
    (ESTIMATE, 0x0A, "AttitudeUncertaintyEuler", ("roll", "pitch", "yaw", "valid"), "fffH"),
    (ESTIMATE, 0x12, "AttitudeUncertaintyQuaternion", ("x", "y", "z", "w", "valid"), "ffffH"),
    (ESTIMATE, 0x04, "OrientationMatrix", MATRIX + ("valid",), "f" * 9 + "H"),
    (ESTIMATE, 0x0E, "CompensatedAngularRate", *XYZV),
    (ESTIMATE, 0x06, "GyroBias", *XYZV),
    (ESTIMATE, 0x0B, "GyroBiasUncertainty", *XYZV),
    (ESTIMATE, 0x1C, "CompensatedAcceleration", *XYZV),
    (ESTIMATE, 0x0D, "LinearAcceleration", *XYZV),
    (ESTIMATE, 0x21, "PressureAltitude", ("pressure_altitude", "valid"), "fH"),
    (ESTIMATE, 0x13, "GravityVector", *XYZV),
    (ESTIMATE, 0x0F, "WGS84LocalGravityMagnitude", ("gravity_magnitude", "valid"), "fH"),
]
