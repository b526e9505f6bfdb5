// Local names go direct; everything else through the office proxy.
function FindProxyForURL(url, host) {
  if (isPlainHostName(host) || dnsDomainIs(host, ".local"))
    return "DIRECT";
  return "PROXY @PROXY@; DIRECT";
}
