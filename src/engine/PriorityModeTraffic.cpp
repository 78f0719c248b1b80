#include "engine/PriorityModeTraffic.h"

#include "engine/Packet.h"
#include "platform/LocalizedText.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/LogParser.h"
#include "prioritymode/UserInfo.h"
#include "prioritymode/defaultPriorityParser.h"

namespace quellbox {

namespace {
constexpr double kWaitingLimit = 60.0;    // seconds a client may stay unnamed in the waiting table
constexpr double kActiveLimit = 15.0;     // seconds without a packet before a client counts as idle
constexpr double kInactiveLimit = 120.0;  // seconds an idle client is remembered

void copyClientInto(Packet& packet, const UserInfo& info) {
    packet.setPriority(info.priority());
    packet.setPacketDestination(info.screenName());
}
}  // namespace

PriorityModeTraffic::PriorityModeTraffic(IPMode& ipmode, ServiceNameLookup serviceName,
                                         RefreshView refreshView)
    : ipmode_(ipmode), serviceName_(std::move(serviceName)), refreshView_(std::move(refreshView)) {}

std::string PriorityModeTraffic::serviceNameOf(int port) const {
    return serviceName_(port).value_or(std::string());
}

int PriorityModeTraffic::defaultPriorityOf(const std::string& login) const {
    const auto* priorities = ipmode_.defaultPriorityParser();
    return priorities != nullptr ? priorities->defaultPriorityForLogin(login)
                                 : Packet::PRIORITY_STD;
}

std::int32_t PriorityModeTraffic::assign(Packet& packet, std::uint32_t destination, int sourcePort,
                                         int destinationPort, bool fromLocalClient,
                                         Clock::time_point now) {
    IPTable* active = ipmode_.ipTable();
    IPTable* inactive = ipmode_.ipTableForTheInactive();
    IPTable* waiting = ipmode_.waitingForInfoTable();
    LogParser* log = ipmode_.logParser();
    if (active == nullptr || inactive == nullptr || waiting == nullptr || log == nullptr) {
        return Packet::PRIORITY_STD;  // switched on but not set up yet
    }

    if (auto known = active->userInfoForIPLong(destination)) {
        copyClientInto(packet, *known);
    } else if (auto idle = inactive->userInfoForIPLong(destination)) {
        copyClientInto(packet, *idle);
        active->linkThisUserInfo(idle, destination);
        inactive->unLinkThisUserInfo(idle, destination);
        refreshView_();
    } else if (fromLocalClient) {
        const std::string login = LocalizedText::lookup("Your Client");
        auto info =
            std::make_shared<UserInfo>(serviceNameOf(destinationPort), Packet::PRIORITY_STD,
                                       LocalizedText::lookup("ONE OF YOUR UPLOADS"), login, now);
        info->setPriority(defaultPriorityOf(login));
        active->linkThisUserInfo(info, destination);
        refreshView_();
    } else if (const std::string address = GenericIPTable::convertLongToString(destination);
               log->ipIsInLogParserStructure(address)) {
        const std::string login = log->findLoginFromIPString(address).value_or(std::string());
        auto info = std::make_shared<UserInfo>(
            serviceNameOf(sourcePort), Packet::PRIORITY_STD,
            log->findScreenNameFromIPString(address).value_or(std::string()), login, now);
        info->setPriority(defaultPriorityOf(login));
        active->linkThisUserInfo(info, destination);
        copyClientInto(packet, *info);
        refreshView_();
    } else if (auto unnamed = waiting->userInfoForIPLong(destination)) {
        unnamed->setLastPacketDate(now);
    } else {
        auto info = std::make_shared<UserInfo>();
        info->setUsedService(serviceNameOf(sourcePort));
        waiting->linkThisUserInfo(info, destination);
        active->linkThisUserInfo(info, destination);
        copyClientInto(packet, *info);
        refreshView_();
    }
    return active->runningMaxPriority();
}

void PriorityModeTraffic::count(std::uint32_t destination, std::int32_t bytes,
                                Clock::time_point now) {
    IPTable* active = ipmode_.ipTable();
    if (active == nullptr) {
        return;
    }
    if (auto info = active->userInfoForIPLong(destination)) {
        info->setLastPacketDate(now);
        info->setLastPacketSize(bytes);
    }
}

bool PriorityModeTraffic::housekeeping() {
    IPTable* active = ipmode_.ipTable();
    IPTable* inactive = ipmode_.ipTableForTheInactive();
    IPTable* waiting = ipmode_.waitingForInfoTable();
    LogParser* log = ipmode_.logParser();
    if (active == nullptr || inactive == nullptr || waiting == nullptr || log == nullptr) {
        return true;
    }

    waiting->cleanOutDatedEntriesByPerformingSelector(&UserInfo::firstPacketDate, false, nullptr,
                                                      kWaitingLimit);

    for (int i = 0; i < waiting->size(); ++i) {
        const auto addresses = waiting->ipArray();
        if (static_cast<size_t>(i) >= addresses.size()) {
            break;
        }
        const std::uint32_t ip = addresses[static_cast<size_t>(i)];
        const std::string address = GenericIPTable::convertLongToString(ip);
        if (!log->ipIsInLogParserStructure(address)) {
            continue;
        }
        const std::string name = log->findScreenNameFromIPString(address).value_or(std::string());
        const std::string login = log->findLoginFromIPString(address).value_or(std::string());
        const int priority = defaultPriorityOf(login);
        for (IPTable* table : {active, inactive}) {
            if (auto info = table->userInfoForIPLong(ip)) {
                info->setScreenName(name);
                info->setLogin(login);
                info->setPriority(priority);
                // The table's running maximum follows its records' priorities only when
                // told; without this a client named with a high priority would not raise
                // it until some other client came or went.
                table->refreshAndReorder();
            }
        }
        waiting->removeThisIPLong(ip);
        refreshView_();
    }

    const bool moved = active->cleanOutDatedEntriesByPerformingSelector(
                           &UserInfo::lastPacketDate, true, inactive, kActiveLimit) != nullptr;
    const bool standBy = active->size() == 0;
    if (moved) {
        refreshView_();
    }
    inactive->cleanOutDatedEntriesByPerformingSelector(&UserInfo::lastPacketDate, true, nullptr,
                                                       kInactiveLimit);
    return standBy;
}

}  // namespace quellbox
