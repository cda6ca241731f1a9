#include "usb_testbed.h"

#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <future>
#include <stdexcept>

namespace testbed {

UsbBus::UsbBus()
    : m_testbed(umockdev_testbed_new()), m_context(g_main_context_new()), m_loop(g_main_loop_new(m_context, FALSE))
{
    // The SG_IO handlers answer on this context, turned by a thread of its
    // own while the code under test waits in its ioctl.
    m_loopThread = std::thread([this] {
        g_main_context_push_thread_default(m_context);
        g_main_loop_run(m_loop);
        g_main_context_pop_thread_default(m_context);
    });
}

UsbBus::~UsbBus()
{
    g_main_loop_quit(m_loop);
    m_loopThread.join();
    for (UMockdevIoctlBase* handler : m_handlers) g_object_unref(handler);
    g_object_unref(m_testbed);
    g_main_loop_unref(m_loop);
    g_main_context_unref(m_context);
}

std::string UsbBus::AddUsbDevice(const std::string& busName, const char* vendor, const char* product)
{
    gchar* device = umockdev_testbed_add_device(m_testbed, "usb", busName.c_str(), nullptr, "idVendor", vendor,
                                                "idProduct", product, nullptr, "DEVTYPE", "usb_device", nullptr);
    const std::string syspath = device;
    g_free(device);
    return syspath;
}

std::string UsbBus::AddSerialDevice(const std::string& busName, const char* vendor, const char* product,
                                    const std::vector<Interface>& interfaces)
{
    const std::string syspath = AddUsbDevice(busName, vendor, product);
    for (const Interface& interface : interfaces) {
        char number[8];
        std::snprintf(number, sizeof number, "%02x", interface.number);
        const std::string name = busName + ":1." + std::to_string(interface.number);
        gchar* path = umockdev_testbed_add_device(m_testbed, "usb", name.c_str(), syspath.c_str(), "bInterfaceNumber",
                                                  number, nullptr, "DEVTYPE", "usb_interface", nullptr);
        g_free(path);
        // A node line makes the testbed back the terminal with a pty.
        AddNode(syspath.substr(4) + "/" + name, interface.tty, "tty");
    }
    return syspath;
}

void UsbBus::AddNode(const std::string& parent, const std::string& node, const char* subsystem)
{
    const std::string devnode = "/dev/" + node;
    const std::string description = "P: " + parent + "/" + node + "\nN: " + node + "\nE: SUBSYSTEM=" + subsystem +
                                    "\nE: DEVNAME=" + devnode + "\n";
    GError* error = nullptr;
    const auto fail = [&](const std::string& what) {
        const std::string message = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error(what + devnode + ": " + message);
    };
    if (!umockdev_testbed_add_from_string(m_testbed, description.c_str(), &error)) fail("cannot add ");
    // A handler answers on the context that is the thread default where it
    // is attached: the loop's thread.
    UMockdevIoctlBase* handler = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), this);
    m_handlers.push_back(handler);
    struct Attach {
        UsbBus* bus;
        UMockdevIoctlBase* handler;
        const std::string* devnode;
        GError** error;
        std::promise<gboolean> done;
    } attach{this, handler, &devnode, &error, {}};
    std::future<gboolean> attachedLater = attach.done.get_future();
    g_main_context_invoke(
        m_context,
        [](gpointer data) -> gboolean {
            auto* request = static_cast<Attach*>(data);
            request->done.set_value(umockdev_testbed_attach_ioctl(request->bus->m_testbed, request->devnode->c_str(),
                                                                  request->handler, request->error));
            return G_SOURCE_REMOVE;
        },
        &attach);
    if (!attachedLater.get()) fail("cannot serve the requests of ");
}

std::string UsbBus::AddCdromDevice(const std::string& busName, const char* vendor, const char* product, const std::string& sg)
{
    const std::string syspath = AddUsbDevice(busName, vendor, product);
    if (sg.empty()) return syspath;
    AddNode(syspath.substr(4) + "/" + busName + ":1.0/host9/target9:0:0/9:0:0:0/scsi_generic", sg, "scsi_generic");
    return syspath;
}

gboolean UsbBus::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    // A terminal's requests (TIOCEXCL, FIONREAD, ...) go to its pty as they
    // would to a real terminal.
    if (umockdev_ioctl_client_get_request(client) != SG_IO) {
        int error = 0;
        const int result = umockdev_ioctl_client_execute(client, &error, nullptr);
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    }
    // SG_IO carries no size in its number: the argument is the pointer to
    // the header, whose command pointer is followed in turn.
    GError* error = nullptr;
    UMockdevIoctlData* header = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(sg_io_hdr_t), &error);
    if (!header) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    const auto* request = reinterpret_cast<const sg_io_hdr_t*>(header->data);
    UMockdevIoctlData* command = umockdev_ioctl_data_resolve(header, offsetof(sg_io_hdr_t, cmdp), request->cmd_len, &error);
    ScsiRequest recorded;
    recorded.devnode = umockdev_ioctl_client_get_devnode(client);
    recorded.direction = request->dxfer_direction;
    recorded.timeoutMs = request->timeout;
    if (command) recorded.cdb.assign(command->data, command->data + request->cmd_len);
    g_clear_error(&error);
    {
        auto* bus = static_cast<UsbBus*>(self);
        std::lock_guard lock(bus->m_mutex);
        bus->m_requests.push_back(std::move(recorded));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

void UsbBus::Remove(const std::string& syspath)
{
    umockdev_testbed_remove_device(m_testbed, syspath.c_str());
    // The testbed leaves the class and bus links of what it removed; they
    // would keep a device that comes back from taking its place again.
    namespace fs = std::filesystem;
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    const fs::path sys = fs::path(root) / "sys";
    g_free(root);
    std::error_code ec;
    for (const fs::path& parent : {sys / "class", sys / "bus"}) {
        for (auto it = fs::recursive_directory_iterator(parent, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (it->is_symlink(ec) && !fs::exists(it->path(), ec)) fs::remove(it->path(), ec);
        }
    }
}

int UsbBus::Master(const std::string& tty)
{
    return umockdev_testbed_get_dev_fd(m_testbed, ("/dev/" + tty).c_str());
}

std::vector<ScsiRequest> UsbBus::Requests()
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

ServedModem::ServedModem(sim::SimModem& modem, int diagMaster, int modemMaster)
    : m_modem(modem), m_diag(diagMaster), m_modemPort(modemMaster)
{
    m_modem.Connect(this);
    for (const int fd : {m_diag, m_modemPort}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    m_thread = std::thread([this] {
        while (!m_stop) {
            pollfd fds[2] = {{m_diag, POLLIN, 0}, {m_modemPort, POLLIN, 0}};
            if (::poll(fds, 2, 20) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & POLLIN)) continue;
                std::uint8_t bytes[512];
                const ssize_t got = ::read(fds[i].fd, bytes, sizeof bytes);
                if (got <= 0) continue;
                std::lock_guard lock(m_mutex);
                m_modem.Receive(i == 0 ? sim::SimPort::Diag : sim::SimPort::Modem, bytes, static_cast<std::size_t>(got), Now());
            }
        }
    });
}

ServedModem::~ServedModem()
{
    m_stop = true;
    m_thread.join();
    m_modem.Connect(nullptr);
}

std::uint32_t ServedModem::Now() const
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void ServedModem::Send(sim::SimPort port, const sim::Bytes& bytes, std::uint32_t)
{
    // Replies go out at once: the host's reads wait for them in real time.
    const int fd = port == sim::SimPort::Diag ? m_diag : m_modemPort;
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t wrote = ::write(fd, bytes.data() + sent, bytes.size() - sent);
        if (wrote <= 0) return;
        sent += static_cast<std::size_t>(wrote);
    }
}

}  // namespace testbed
