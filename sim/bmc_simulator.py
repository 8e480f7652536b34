#!/usr/bin/python3
"""Simulated BMC services on a private system bus.

Hosts the object mapper, the BIOS update service's software objects and job
objects on any service, as described by a scenario file, and records every
call it receives -- with the wire types of its arguments -- as JSON lines.

Scenario (JSON):
  {
    "mapper": true,                      # host the object mapper
    "services": {
      "<bus name>": {
        "<object path>": {
          "<interface>": {"<property>": ["<signature>", <value>], ...}
        }
      }
    },
    "mapper_extra": [["<path>", "<service>", ["<interface>", ...]], ...],
    "rejections": [
      {"service": ..., "path": ..., "member": ..., "interface": ...,
       "property": ..., "error": "<error name>", "message": "<text>"}
    ]
  }
A property left out is absent: Get answers with an error reply. Rejection
fields left out match anything. A service without objects stays off the bus.

Usage: bmc_simulator.py --address ADDR --scenario FILE --log FILE --ready FILE
"""

import argparse
import json
import signal
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
import dbusmock.mockobject
from gi.repository import GLib

PROPERTIES = 'org.freedesktop.DBus.Properties'
MAPPER_SERVICE = 'xyz.morvex_project.ObjectMapper'
MAPPER_PATH = '/xyz/morvex_project/object_mapper'
MAPPER_INTERFACE = 'xyz.morvex_project.ObjectMapper'

_BASIC_TYPES = [
    # Order matters: dbus.Boolean and dbus.Byte are int subclasses.
    (dbus.Boolean, 'b'), (dbus.Byte, 'y'), (dbus.Int16, 'n'),
    (dbus.UInt16, 'q'), (dbus.Int32, 'i'), (dbus.UInt32, 'u'),
    (dbus.Int64, 'x'), (dbus.UInt64, 't'), (dbus.Double, 'd'),
    (dbus.ObjectPath, 'o'), (dbus.Signature, 'g'), (dbus.String, 's'),
]

_CONSTRUCTORS = {
    'b': dbus.Boolean, 'y': dbus.Byte, 'n': dbus.Int16, 'q': dbus.UInt16,
    'i': dbus.Int32, 'u': dbus.UInt32, 'x': dbus.Int64, 't': dbus.UInt64,
    'd': dbus.Double, 'o': dbus.ObjectPath, 'g': dbus.Signature,
    's': dbus.String,
}


def typed(value, top=True):
    """A received value as [signature, plain value]; variants nest."""
    if top and getattr(value, 'variant_level', 0) > 0:
        return ['v', typed(value, top=False)]
    for cls, sig in _BASIC_TYPES:
        if isinstance(value, cls):
            if sig in 'bynqiuxt':
                return [sig, int(value)]
            if sig == 'd':
                return [sig, float(value)]
            return [sig, str(value)]
    if isinstance(value, dbus.Dictionary):
        return ['a{' + (value.signature or '') + '}',
                [[typed(k)[1], typed(v)] for k, v in value.items()]]
    if isinstance(value, dbus.Array):
        return ['a' + (value.signature or ''), [typed(v)[1] for v in value]]
    if isinstance(value, dbus.Struct):
        return ['()', [typed(v) for v in value]]
    return ['?', repr(value)]


def make_value(scenario_value):
    """A scenario value ["<sig>", value] as a typed dbus value."""
    sig, value = scenario_value
    if sig in _CONSTRUCTORS:
        return _CONSTRUCTORS[sig](value)
    if sig.startswith('a'):
        return dbus.Array(value, signature=sig[1:])
    raise ValueError(f'unsupported property signature {sig!r}')


class Simulator:
    def __init__(self, address, scenario, log_path):
        self.address = address
        self.scenario = scenario
        self.log = open(log_path, 'a', encoding='utf-8')
        self.connections = []
        self.objects = []

    def record(self, service, path, interface, member, msg, args):
        entry = {
            'service': service,
            'path': path,
            'interface': interface,
            'member': member,
            'signature': msg.get_signature() or '',
            'args': [typed(a) for a in args],
        }
        self.log.write(json.dumps(entry) + '\n')
        self.log.flush()

    def rejection(self, service, path, member, interface=None, prop=None):
        for rule in self.scenario.get('rejections', []):
            wanted = {'service': service, 'path': path, 'member': member,
                      'interface': interface, 'property': prop}
            if all(rule.get(k) in (None, v) for k, v in wanted.items()):
                return dbus.exceptions.DBusException(
                    rule.get('message', 'rejected'),
                    name=rule.get('error',
                                  'org.freedesktop.DBus.Error.AccessDenied'))
        return None

    def subtree(self, root, depth, interfaces):
        del depth  # the simulated tree is answered whole
        answer = {}

        def add(path, service, ifaces):
            if root not in ('/', path) and not path.startswith(root + '/'):
                return
            if interfaces and not set(interfaces) & set(ifaces):
                return
            services = answer.setdefault(path, {})
            services.setdefault(service, list(ifaces))

        for service, objects in self.scenario.get('services', {}).items():
            for path, ifaces in objects.items():
                add(path, service, list(ifaces))
        for path, service, ifaces in self.scenario.get('mapper_extra', []):
            add(path, service, ifaces)
        return dbus.Dictionary(
            {p: dbus.Dictionary({s: dbus.Array(i, signature='s')
                                 for s, i in svc.items()}, signature='sas')
             for p, svc in answer.items()}, signature='sa{sas}')

    def connect(self, name):
        connection = dbus.bus.BusConnection(self.address)
        bus_name = dbus.service.BusName(name, bus=connection,
                                        do_not_queue=True)
        self.connections.append((connection, bus_name))
        return bus_name

    def start(self):
        for service, objects in self.scenario.get('services', {}).items():
            if not objects:
                continue
            bus_name = self.connect(service)
            for path, interfaces in objects.items():
                self.objects.append(
                    HostedObject(self, service, bus_name, path, interfaces))
        if self.scenario.get('mapper', True):
            bus_name = self.connect(MAPPER_SERVICE)
            self.objects.append(Mapper(self, bus_name))


class HostedObject(dbusmock.mockobject.DBusMockObject):
    """An object whose properties live on several interfaces."""

    def __init__(self, sim, service, bus_name, path, interfaces):
        primary = next(iter(interfaces), 'xyz.morvex_project.Empty')
        super().__init__(bus_name, path, primary, {}, logfile='/dev/null')
        self.sim = sim
        self.service = service
        self.props = {
            iface: {name: make_value(v) for name, v in props.items()}
            for iface, props in interfaces.items()
        }

    @dbus.service.method(PROPERTIES, in_signature='ss', out_signature='v',
                         message_keyword='msg')
    def Get(self, interface_name, property_name, msg=None):
        self.sim.record(self.service, self.path, PROPERTIES, 'Get', msg,
                        [interface_name, property_name])
        error = self.sim.rejection(self.service, self.path, 'Get',
                                   interface_name, property_name)
        if error:
            raise error
        try:
            return self.props[interface_name][property_name]
        except KeyError as e:
            raise dbus.exceptions.DBusException(
                f'no such property {interface_name}.{property_name}',
                name='org.freedesktop.DBus.Error.UnknownProperty') from e

    @dbus.service.method(PROPERTIES, in_signature='ssv', out_signature='',
                         message_keyword='msg')
    def Set(self, interface_name, property_name, value, msg=None):
        self.sim.record(self.service, self.path, PROPERTIES, 'Set', msg,
                        [interface_name, property_name, value])
        error = self.sim.rejection(self.service, self.path, 'Set',
                                   interface_name, property_name)
        if error:
            raise error
        iface = self.props.get(interface_name)
        if iface is None or property_name not in iface:
            raise dbus.exceptions.DBusException(
                f'no such property {interface_name}.{property_name}',
                name='org.freedesktop.DBus.Error.UnknownProperty')
        iface[property_name] = value


class Mapper(dbusmock.mockobject.DBusMockObject):
    def __init__(self, sim, bus_name):
        super().__init__(bus_name, MAPPER_PATH, MAPPER_INTERFACE, {},
                         logfile='/dev/null')
        self.sim = sim

    @dbus.service.method(MAPPER_INTERFACE, in_signature='sias',
                         out_signature='a{sa{sas}}', message_keyword='msg')
    def GetSubTree(self, root, depth, interfaces, msg=None):
        self.sim.record(MAPPER_SERVICE, MAPPER_PATH, MAPPER_INTERFACE,
                        'GetSubTree', msg, [root, depth, interfaces])
        error = self.sim.rejection(MAPPER_SERVICE, MAPPER_PATH, 'GetSubTree')
        if error:
            raise error
        return self.sim.subtree(str(root), int(depth),
                                [str(i) for i in interfaces])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--address', required=True)
    parser.add_argument('--scenario', required=True)
    parser.add_argument('--log', required=True)
    parser.add_argument('--ready', required=True)
    options = parser.parse_args()

    with open(options.scenario, encoding='utf-8') as f:
        scenario = json.load(f)

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    loop = GLib.MainLoop()
    sim = Simulator(options.address, scenario, options.log)
    sim.start()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)

    with open(options.ready, 'w', encoding='utf-8') as f:
        f.write('ready\n')
    loop.run()
    return 0


if __name__ == '__main__':
    sys.exit(main())
