#!/usr/bin/env python3
# Writes the SIPp call scenarios of this folder. The XML files are kept in
# the repository; edit this script and run it again to change them.
import os
OUT = os.path.dirname(os.path.abspath(__file__))
HDR = '<?xml version="1.0" encoding="ISO-8859-1" ?>\n<!DOCTYPE scenario SYSTEM "sipp.dtd">\n'

FROM = 'From: "SIPp" <sip:sipp@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]'
TO = 'To: <sip:[service]@[remote_ip]:[remote_port]>'
RURI = 'sip:[service]@[remote_ip]:[remote_port]'

def send(lines, retrans=True):
    body = '\n'.join('      ' + l if l else '' for l in lines)
    r = ' retrans="500"' if retrans else ''
    return '  <send%s>\n    <![CDATA[\n\n%s\n\n    ]]>\n  </send>\n' % (r, body)

def sdp(media_lines):
    return ['v=0', 'o=sipp 53655765 2353687637 IN IP[local_ip_type] [local_ip]', 's=-',
            'c=IN IP[local_ip_type] [local_ip]', 't=0 0'] + media_lines

def invite(media_lines, cseq=1, totag=False, body=None):
    b = sdp(media_lines) if body is None else body
    return send(['INVITE %s SIP/2.0' % RURI,
                 'Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]',
                 FROM, TO + ('[peer_tag_param]' if totag else ''), 'Call-ID: [call_id]',
                 'CSeq: %d INVITE' % cseq, 'Contact: <sip:sipp@[local_ip]:[local_port]>',
                 'Max-Forwards: 70', 'Subject: calls', 'Content-Type: application/sdp',
                 'Content-Length: [len]', ''] + b)

def in_dialog(method, cseq, extra=(), body=None, ctype=None):
    lines = ['%s %s SIP/2.0' % (method, RURI),
             'Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]',
             FROM, TO + '[peer_tag_param]', 'Call-ID: [call_id]', 'CSeq: %d %s' % (cseq, method),
             'Contact: <sip:sipp@[local_ip]:[local_port]>', 'Max-Forwards: 70'] + list(extra)
    if body is not None:
        lines += ['Content-Type: %s' % ctype, 'Content-Length: [len]', ''] + body
    else:
        lines += ['Content-Length: 0']
    return send(lines, retrans=(method != 'ACK'))

def ack_error(cseq=1):
    # ACK for a final error response: same branch as the INVITE.
    return send(['ACK %s SIP/2.0' % RURI, '[last_Via:]', FROM, TO + '[peer_tag_param]',
                 'Call-ID: [call_id]', 'CSeq: %d ACK' % cseq, 'Max-Forwards: 70', 'Content-Length: 0'],
                retrans=False)

def recv(code, optional=False, checks=(), timeout=10000, extra=''):
    opt = ' optional="true"' if optional else ''
    to = '' if optional else ' timeout="%d"' % timeout
    if not checks:
        return '  <recv response="%s"%s%s%s/>\n' % (code, opt, to, extra)
    acts = ''.join('      <ereg regexp="%s" search_in="%s" check_it="true" assign_to="%s"/>\n' % c for c in checks)
    return '  <recv response="%s"%s%s%s>\n    <action>\n%s    </action>\n  </recv>\n' % (code, opt, to, extra, acts)

def recv_req(method, checks=(), timeout=10000, extra=''):
    if not checks:
        return '  <recv request="%s" timeout="%d"%s/>\n' % (method, timeout, extra)
    acts = ''.join('      <ereg regexp="%s" search_in="%s" check_it="true" assign_to="%s"/>\n' % c for c in checks)
    return '  <recv request="%s" timeout="%d"%s>\n    <action>\n%s    </action>\n  </recv>\n' % (method, timeout, extra, acts)

def pause(ms):
    return '  <pause milliseconds="%d"/>\n' % ms

import re
def write(name, comment, parts):
    text = ''.join(parts)
    # SIPp refuses variables that are set once and never read; the checks
    # only need the match, so mark them as used.
    names = sorted(set(n for a in re.findall(r'assign_to="([a-z,]+)"', text) for n in a.split(',')))
    if names:
        text += '  <Reference variables="%s"/>\n' % ','.join(names)
    with open(os.path.join(OUT, name), 'w') as f:
        f.write(HDR + '<!-- %s -->\n<scenario name="%s">\n' % (comment, name[:-4]) + text + '</scenario>\n')

PROV = [recv(100, optional=True), recv(180, optional=True), recv(183, optional=True)]
BYE_FROM_PEER = [pause(300), in_dialog('BYE', 3), recv(200)]
BYE_FROM_US = [recv_req('BYE'), send(['SIP/2.0 200 OK', '[last_Via:]', '[last_From:]', '[last_To:]', '[last_Call-ID:]',
                                     '[last_CSeq:]', 'Content-Length: 0'], retrans=False)]
ACK2XX = in_dialog('ACK', 1)
C = '[[:cntrl:]]'

write('uac-offer-pcmu.xml',
      'The peer offers PCMU, PCMA and iLBC mode 30 in that order; the phone, preferring iLBC, '
      'must follow the peer and answer with PCMU alone. The peer hangs up.',
      [invite(['m=audio 4000 RTP/AVP 0 8 97', 'a=rtpmap:97 iLBC/8000', 'a=fmtp:97 mode=30'])] + PROV +
      [recv(200, checks=[('m=audio 37644 RTP/AVP 0' + C, 'body', 'm'),
                         ('a=rtpmap:0 PCMU/8000' + C, 'body', 'rtpmap'),
                         ('a=direction:active', 'body', 'dir'),
                         ('application/sdp', 'hdr" header="Content-Type:', 'ctype')]), ACK2XX] + BYE_FROM_PEER)

write('uac-offer-ilbc.xml',
      'The peer offers iLBC on payload 97 without a mode; it counts as mode 30 and the answer '
      'announces our own iLBC entry (payload 102, mode 30). The phone hangs up.',
      [invite(['m=audio 4000 RTP/AVP 97 0', 'a=rtpmap:97 iLBC/8000'])] + PROV +
      [recv(200, checks=[('m=audio 37644 RTP/AVP 102' + C, 'body', 'm'),
                         ('a=rtpmap:102 iLBC/8000' + C, 'body', 'rtpmap'),
                         ('a=fmtp:102 mode=30' + C, 'body', 'fmtp')]), ACK2XX] + BYE_FROM_US)

for name, comment, media in [
    ('uac-offer-ilbc20.xml', 'iLBC with 20 ms frames only: nothing in common, refused with 488.',
     ['m=audio 4000 RTP/AVP 97', 'a=rtpmap:97 iLBC/8000', 'a=fmtp:97 mode=20']),
    ('uac-offer-25-payloads.xml', 'Twenty-five payload numbers: only the first twenty are read, so the PCMU '
     'in the twenty-first place is never seen and the offer is refused with 488.',
     ['m=audio 4000 RTP/AVP ' + ' '.join(str(96 + i) for i in range(20)) + ' 0 8 3 18 15']),
    ('uac-offer-no-audio.xml', 'An offer with video only is refused with 488.',
     ['m=video 4000 RTP/AVP 31']),
]:
    write(name, comment, [invite(media), recv(100, optional=True), recv(488), ack_error()])

write('uac-rejected.xml', 'The phone rejects the call with 486 Busy Here.',
      [invite(['m=audio 4000 RTP/AVP 0 8'])] + PROV + [recv(486), ack_error()])

write('uac-offer-no-connection.xml', 'An offer without any connection line is refused with 488.',
      [invite(None, body=['v=0', 'o=sipp 1 1 IN IP4 [local_ip]', 's=-', 't=0 0', 'm=audio 4000 RTP/AVP 0']),
       recv(100, optional=True), recv(488), ack_error()])

write('uac-info-dtmf.xml',
      'DTMF in INFO requests inside an answered call: "#" for 160 ms, "5", and " *" (which reads as 0).',
      [invite(['m=audio 4000 RTP/AVP 0 8'])] + PROV + [recv(200), ACK2XX, pause(200),
       in_dialog('INFO', 2, body=['Signal=#', 'Duration=160'], ctype='application/dtmf-relay'), recv(200),
       in_dialog('INFO', 3, body=['Signal=5'], ctype='application/dtmf-relay'), recv(200),
       in_dialog('INFO', 4, body=['Signal= *', 'Duration=160'], ctype='application/dtmf-relay'), recv(200),
       in_dialog('MESSAGE', 5, body=['hello'], ctype='text/plain'), recv(200),
       pause(200), in_dialog('BYE', 6), recv(200)])

write('uac-reinvite.xml', 'A re-INVITE inside an answered call is refused with 488; the call goes on.',
      [invite(['m=audio 4000 RTP/AVP 0 8'])] + PROV + [recv(200), ACK2XX, pause(200),
       invite(['m=audio 4002 RTP/AVP 8'], cseq=2, totag=True), recv(100, optional=True), recv(488),
       ack_error(cseq=2), pause(200), in_dialog('BYE', 3), recv(200)])

write('uac-cancel.xml', 'The peer cancels its INVITE while the phone rings.',
      [invite(['m=audio 4000 RTP/AVP 0 8']), recv(100, optional=True), recv(180), pause(200),
       send(['CANCEL %s SIP/2.0' % RURI, '[last_Via:]', FROM, TO, 'Call-ID: [call_id]', 'CSeq: 1 CANCEL',
             'Max-Forwards: 70', 'Content-Length: 0']),
       recv(200), recv(487), ack_error()])

# --- the phone calls SIPp ---------------------------------------------------
def reply(code, reason, body=None, totag=True, extra=()):
    to = '[last_To:];tag=[pid]SIPpTag01[call_number]' if totag else '[last_To:]'
    lines = ['SIP/2.0 %d %s' % (code, reason), '[last_Via:]', '[last_From:]', to, '[last_Call-ID:]',
             '[last_CSeq:]', 'Contact: <sip:sipp@[local_ip]:[local_port];transport=[transport]>'] + list(extra)
    if body is not None:
        lines += ['Content-Type: application/sdp', 'Content-Length: [len]', ''] + body
    else:
        lines += ['Content-Length: 0']
    return send(lines, retrans=False)

ANSWER_SDP = ['v=0', 'o=sipp 1 1 IN IP4 [local_ip]', 's=-', 'c=IN IP4 [local_ip]', 't=0 0',
              'm=audio 6000 RTP/AVP 8 101', 'a=rtpmap:8 PCMA/8000', 'a=rtpmap:101 telephone-event/8000',
              'a=fmtp:101 0-15', 'a=ptime:20']
OFFER_CHECKS = [('m=audio [0-9]+ RTP/AVP 102 8 0' + C, 'body', 'm'),
                ('a=rtpmap:102 iLBC/8000' + C + '+a=fmtp:102 mode=30' + C + '+a=rtpmap:8 PCMA/8000' + C +
                 '+a=rtpmap:0 PCMU/8000' + C + '+a=direction:active', 'body', 'attrs'),
                ('o=- 2[0-9]* 3[0-9]* IN IP4 ', 'body', 'origin'),
                ('application/sdp', 'hdr" header="Content-Type:', 'ctype')]
BYE_TO_US = [pause(300),
             send(['BYE [next_url] SIP/2.0', 'Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]',
                   'From: <sip:[service]@[local_ip]:[local_port]>;tag=[pid]SIPpTag01[call_number]',
                   'To: [$caller]', 'Call-ID: [call_id]', 'CSeq: 1 BYE', 'Max-Forwards: 70',
                   'Content-Length: 0']), recv(200)]
# ereg on a header keeps the header value, here the caller's From with its tag.
def INV_FROM(checks=()):
    acts = ''.join('      <ereg regexp="%s" search_in="%s" check_it="true" assign_to="%s"/>\n' % c for c in checks)
    acts += '      <ereg regexp=".*" search_in="hdr" header="From:" check_it="true" assign_to="caller"/>\n'
    return '  <recv request="INVITE" timeout="10000" rrs="true">\n    <action>\n%s    </action>\n  </recv>\n' % acts

write('uas-busy.xml', 'The called party is busy: 486 after ringing.',
      [INV_FROM(OFFER_CHECKS), reply(100, 'Trying', totag=False), reply(180, 'Ringing'), pause(200),
       reply(486, 'Busy Here'), recv_req('ACK')])

write('uas-cancel.xml', 'The phone gives up while the far end rings: CANCEL, 487, ACK.',
      [INV_FROM([('([0-9]+) INVITE', 'hdr" header="CSeq:', 'invcseq,invnum')]), reply(100, 'Trying', totag=False), reply(180, 'Ringing'), recv_req('CANCEL'),
       send(['SIP/2.0 200 OK', '[last_Via:]', '[last_From:]', '[last_To:];tag=[pid]SIPpTag01[call_number]',
             '[last_Call-ID:]', '[last_CSeq:]', 'Content-Length: 0'], retrans=False),
       send(['SIP/2.0 487 Request Terminated', '[last_Via:]', '[last_From:]',
             '[last_To:];tag=[pid]SIPpTag01[call_number]', '[last_Call-ID:]', 'CSeq: [$invnum] INVITE',
             'Content-Length: 0'], retrans=False),
       recv_req('ACK')])

write('uas-answer-peer-bye.xml', 'Answered with PCMA after early media in a 183; the far end hangs up.',
      [INV_FROM(OFFER_CHECKS), reply(100, 'Trying', totag=False), reply(183, 'Session Progress', ANSWER_SDP),
       pause(200), reply(200, 'OK', ANSWER_SDP), recv_req('ACK')] + BYE_TO_US)

write('uas-answer-our-bye.xml', 'Answered with PCMA after ringing; the phone hangs up.',
      [INV_FROM(), reply(100, 'Trying', totag=False), reply(180, 'Ringing'), pause(200),
       reply(200, 'OK', ANSWER_SDP), recv_req('ACK')] + BYE_FROM_US)

for code, hdr, authz in [(407, 'Proxy-Authenticate', 'Proxy-Authorization'), (401, 'WWW-Authenticate', 'Authorization')]:
    # SIPp checks the digest itself only in an Authorization header; for
    # the proxy's challenge the answer's shape is checked instead.
    if code == 401:
        verify = ('      <verifyauth assign_to="authvalid" username="1001" password="secret"/>\n')
        judge = ['  <nop hide="true" test="authvalid" next="goodauth"/>\n',
                 reply(403, 'Bad Credentials'), recv_req('ACK'),
                 '  <!-- wrong credentials: wait for nothing, so the call fails -->\n',
                 '  <recv request="NOTIFY" timeout="200"/>\n',
                 '  <label id="goodauth"/>\n']
    else:
        verify = ('      <ereg regexp="username=.1001., realm=.[^,]*, nonce=.4f6e3c1a9d., uri=.sip:[^,]*, '
                  'response=.[0-9a-f]{32}." search_in="hdr" header="%s:" check_it="true" assign_to="answer"/>\n' % authz)
        judge = []
    write('uas-auth-%d.xml' % code,
          'The proxy challenges the INVITE with %d; the phone acknowledges it and sends the INVITE again '
          'with credentials and the next CSeq.' % code,
          [INV_FROM(), reply(code, 'Proxy Authentication Required' if code == 407 else 'Unauthorized',
                             extra=['%s: Digest realm="[local_ip]", nonce="4f6e3c1a9d", algorithm=MD5' % hdr]),
           recv_req('ACK', checks=[('^ *1 ACK', 'hdr" header="CSeq:', 'ackcseq')]),
           '  <recv request="INVITE" timeout="10000" rrs="true">\n    <action>\n'
           '      <ereg regexp="^ *2 INVITE" search_in="hdr" header="CSeq:" check_it="true" assign_to="cseq"/>\n'
           '      <ereg regexp="Digest" search_in="hdr" header="%s:" check_it="true" assign_to="digest"/>\n'
           '%s'
           '      <ereg regexp=".*" search_in="hdr" header="From:" check_it="true" assign_to="caller"/>\n'
           '    </action>\n  </recv>\n' % (authz, verify)] + judge +
          [reply(100, 'Trying', totag=False), reply(200, 'OK', ANSWER_SDP), recv_req('ACK')] + BYE_FROM_US)
print('done')
