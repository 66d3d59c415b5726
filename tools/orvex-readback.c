/* orvex-readback: reads every calibration record back from /dev/video0.
 * Its main is the one exported by libOrvexConfig, so the program and the
 * library's routine can never diverge. */
