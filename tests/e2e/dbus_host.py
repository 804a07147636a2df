#!/usr/bin/python3
"""A desktop's services on the session bus for the end-to-end tests: dbus_host.py [watcher] [late] [notifications]
(a StatusNotifierWatcher with its host, which with "late" registers only on "host" from stdin; a notification
service). It prints JSON lines: ready, registered, notify, and for "read" on stdin an item (tip, colour, entries
as "label [Control+S] (disabled) (on)"); "click <label>" clicks an entry, "activate" clicks the item, "invoke" takes
the action of the notification. It ends with stdin."""
import collections, json, os, sys
import dbus, dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER, NOTIFICATIONS, ITEM = 'org.kde.StatusNotifierWatcher', 'org.freedesktop.Notifications', 'org.kde.StatusNotifierItem'
# What Qt's tray asks of the watcher before it registers.
INTROSPECTION = f'''<node><interface name="{WATCHER}"><method name="RegisterStatusNotifierItem"><arg type="s"/></method>
<method name="RegisterStatusNotifierHost"><arg type="s"/></method>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/></interface></node>'''


def emit(**line):
    print(json.dumps(line), flush=True)


class Host(dbus.service.Object):
    SUPPORTS_MULTIPLE_OBJECT_PATHS = True
    item, hosted = None, 'late' not in sys.argv

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature='s')
    def Introspect(self):
        return INTROSPECTION

    @dbus.service.method(WATCHER, in_signature='s', sender_keyword='sender')
    def RegisterStatusNotifierItem(self, service, sender):
        self.item = bus.get_object(sender, '/StatusNotifierItem')
        emit(kind='registered')

    @dbus.service.method(WATCHER, in_signature='s')
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return {'IsStatusNotifierHostRegistered': self.hosted, 'ProtocolVersion': dbus.Int32(0)}[name]

    @dbus.service.signal(WATCHER)
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.method(NOTIFICATIONS, in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        emit(kind='notify', app=app, icon=icon, summary=summary, body=body, actions=[str(a) for a in actions])
        return 1

    @dbus.service.signal(NOTIFICATIONS, signature='us')
    def ActionInvoked(self, id, key):
        pass

    def menu(self):
        """The item's properties, its menu, and the menu's entries as (label, id, properties), as a panel reads them."""
        item = self.item.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE)
        menu = dbus.Interface(bus.get_object(self.item.bus_name, item['Menu']), 'com.canonical.dbusmenu')
        menu.AboutToShow(0)
        nodes = menu.GetLayout(0, -1, [])[1][2]
        return item, menu, [('---' if n[1].get('type') == 'separator' else str(n[1].get('label', '')), n[0], n[1]) for n in nodes]

    def read(self):
        item, _, entries = self.menu()
        texts = [label + ''.join(f' [{"+".join(chord)}]' for chord in entry.get('shortcut', []))
                 + ('' if entry.get('enabled', True) else ' (disabled)')
                 + (('', ' (off)', ' (on)')[entry['toggle-state'] + 1] if 'toggle-state' in entry else '')
                 for label, _, entry in entries]
        # The most common colour of the icon's opaque pixels inside its black outline (ARGB, network byte order).
        pixels = [bytes(image[2]) for image in item['IconPixmap']]
        colours = collections.Counter(p[i + 1:i + 4].hex().upper() for p in pixels for i in range(0, len(p), 4)
                                      if p[i] == 255 and p[i + 1:i + 4] != bytes(3))
        emit(kind='item', tip=str(item['ToolTip'][2] + item['ToolTip'][3]), entries=texts,
             colour='#' + colours.most_common(1)[0][0] if colours else '')

    def command(self, fd, condition):
        lines = os.read(fd, 4096).decode()
        for line in lines.splitlines():
            if line == 'read':
                self.read()
            elif line == 'host':
                self.hosted = True
                self.StatusNotifierHostRegistered()
            elif line == 'activate':
                self.item.Activate(0, 0, dbus_interface=ITEM)
            elif line == 'invoke':
                self.ActionInvoked(1, 'default')
            else:
                _, menu, entries = self.menu()
                menu.Event(dict((label, id) for label, id, _ in entries)[line[6:]], 'clicked',
                           dbus.String('', variant_level=1), dbus.UInt32(0))
        return bool(lines) or loop.quit()


DBusGMainLoop(set_as_default=True)
bus, loop = dbus.SessionBus(), GLib.MainLoop()
host, names = Host(), []
for role, name, path in (('watcher', WATCHER, '/StatusNotifierWatcher'), ('notifications', NOTIFICATIONS, '/org/freedesktop/Notifications')):
    if role in sys.argv:
        host.add_to_connection(bus, path)
        names.append(dbus.service.BusName(name, bus, do_not_queue=True))
GLib.io_add_watch(0, GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP, host.command)
emit(kind='ready')
loop.run()
